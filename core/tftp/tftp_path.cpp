#include "core/tftp/tftp_path.hpp"

#include "core/tftp/tftp_texts.hpp"

namespace anvil {

std::string TFTPPathRefusal::description() const {
    switch (reason) {
        case Reason::empty: return std::string(TFTPText::pathEmpty);
        case Reason::tooLong: return std::string(TFTPText::pathTooLong);
        case Reason::controlByte: return std::string(TFTPText::pathControlByte);
        case Reason::leavesFolder: return std::string(TFTPText::pathLeavesFolder);
    }
    return std::string(TFTPText::pathEmpty);
}

std::variant<std::string, TFTPPathRefusal> normalizeTFTPPath(std::string_view requested) {
    using Reason = TFTPPathRefusal::Reason;
    if (requested.size() > maximumTFTPPathLength) return TFTPPathRefusal{Reason::tooLong};
    for (char c : requested) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return TFTPPathRefusal{Reason::controlByte};
    }
    std::string path;
    std::size_t start = 0;
    while (start <= requested.size()) {
        auto end = requested.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = requested.size();
        auto component = requested.substr(start, end - start);
        start = end + 1;
        if (component.empty() || component == ".") continue;
        if (component == "..") return TFTPPathRefusal{Reason::leavesFolder};
        if (!path.empty()) path += '/';
        path += component;
    }
    if (path.empty()) return TFTPPathRefusal{Reason::empty};
    return path;
}

}  // namespace anvil
