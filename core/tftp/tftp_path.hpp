#pragma once
// A requested TFTP file name turned into a path relative to the boot folder, or the reason it is
// refused. Symlinks and file types are checked where the file is opened, beneath the folder.
#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

namespace anvil {

inline constexpr std::size_t maximumTFTPPathLength = 255;

struct TFTPPathRefusal {
    enum class Reason {
        empty,         // nothing left once slashes and "." are dropped
        tooLong,       // the name or the path over maximumTFTPPathLength bytes
        controlByte,   // a NUL, C0 control or DEL
        leavesFolder,  // a ".." component
    };
    Reason reason = Reason::empty;

    // The reason for the user ("leaves the boot folder"); the client is only told "File not found".
    std::string description() const;
    friend bool operator==(const TFTPPathRefusal&, const TFTPPathRefusal&) = default;
};

// Components joined by single "/", never starting with "/", never ".", "..", or empty: leading
// slashes are dropped, "\" is read as "/", empty and "." components are dropped.
std::variant<std::string, TFTPPathRefusal> normalizeTFTPPath(std::string_view requested);

}  // namespace anvil
