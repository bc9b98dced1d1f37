#include "core/watch/neighbour.hpp"

namespace anvil {

std::string_view rawValue(NeighbourChange change) {
    switch (change) {
        case NeighbourChange::seen: return "seen";
        case NeighbourChange::changed: return "changed";
        case NeighbourChange::gone: return "gone";
    }
    return "";
}

}  // namespace anvil
