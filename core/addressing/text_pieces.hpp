#pragma once
// Splitting texts into pieces, as the address and option parsers need it.
#include <string_view>
#include <vector>

namespace anvil {

enum class EmptyPieces { keep, drop };

inline std::vector<std::string_view> splitText(std::string_view text, char separator, EmptyPieces empty) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (true) {
        auto end = text.find(separator, start);
        auto piece = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (!piece.empty() || empty == EmptyPieces::keep) pieces.push_back(piece);
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return pieces;
}

}  // namespace anvil
