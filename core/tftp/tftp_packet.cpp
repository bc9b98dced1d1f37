#include "core/tftp/tftp_packet.hpp"

#include <algorithm>
#include <optional>

namespace anvil {

namespace {

// Reads the datagram front to back; every read says whether the bytes were there.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool atEnd() const { return position_ == size_; }
    std::size_t left() const { return size_ - position_; }

    std::uint16_t word() {
        auto value = static_cast<std::uint16_t>((data_[position_] << 8) | data_[position_ + 1]);
        position_ += 2;
        return value;
    }

    // A NUL-terminated string, or nothing when no NUL follows.
    std::optional<std::string_view> string() {
        const auto* begin = data_ + position_;
        const auto* end = std::find(begin, data_ + size_, std::uint8_t{0});
        if (end == data_ + size_) return std::nullopt;
        position_ += static_cast<std::size_t>(end - begin) + 1;
        return std::string_view(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(end - begin));
    }

    Bytes rest() {
        Bytes bytes(data_ + position_, data_ + size_);
        position_ = size_;
        return bytes;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

using Error = TFTPParseError;
using Kind = TFTPParseError::Kind;

std::string lowerCased(std::string_view text) {
    std::string lower(text);
    for (auto& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// RFC 2347: name/value pairs after the mode, to the end of the datagram.
std::variant<TFTPOptions, Error> readOptions(Reader& reader) {
    TFTPOptions options;
    while (!reader.atEnd()) {
        auto name = reader.string();
        if (!name) return Error{Kind::missingNul};
        if (reader.atEnd()) return Error{Kind::optionWithoutValue};
        auto value = reader.string();
        if (!value) return Error{Kind::missingNul};
        if (name->empty()) return Error{Kind::emptyOptionName};
        if (name->size() > maximumTFTPOptionFieldLength) return Error{Kind::fieldTooLong, name->size()};
        if (value->size() > maximumTFTPOptionFieldLength) return Error{Kind::fieldTooLong, value->size()};
        auto lower = lowerCased(*name);
        bool repeated = std::any_of(options.begin(), options.end(), [&](const auto& o) { return o.name == lower; });
        if (repeated) continue;  // the first one wins
        if (options.size() == maximumTFTPOptions) return Error{Kind::tooManyOptions, options.size() + 1};
        options.push_back({std::move(lower), std::string(*value)});
    }
    return options;
}

TFTPParseResult readRequest(Reader& reader, bool write) {
    auto fileName = reader.string();
    if (!fileName) return Error{Kind::missingNul};
    if (fileName->empty()) return Error{Kind::emptyFileName};
    if (fileName->size() > maximumTFTPFileNameLength) return Error{Kind::fieldTooLong, fileName->size()};
    auto mode = reader.string();
    if (!mode) return Error{Kind::missingNul};
    auto lowerMode = lowerCased(*mode);
    if (lowerMode != "netascii" && lowerMode != "octet" && lowerMode != "mail") return Error{Kind::badMode};
    auto options = readOptions(reader);
    if (auto* error = std::get_if<Error>(&options)) return *error;
    return TFTPPacket{TFTPRequest{write, std::string(*fileName), std::move(lowerMode),
                                  std::move(std::get<TFTPOptions>(options))}};
}

void appendWord(Bytes& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value));
}

void appendString(Bytes& bytes, std::string_view text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
}

void appendOptions(Bytes& bytes, const TFTPOptions& options) {
    for (const auto& option : options) {
        appendString(bytes, option.name);
        appendString(bytes, option.value);
    }
}

Bytes withOpcode(TFTPOpcode opcode) {
    Bytes bytes;
    appendWord(bytes, static_cast<std::uint16_t>(opcode));
    return bytes;
}

}  // namespace

std::string TFTPParseError::description() const {
    switch (kind) {
        case Kind::tooShort: return "TFTP datagram too short";
        case Kind::unknownOpcode: return "unknown TFTP opcode " + std::to_string(value);
        case Kind::missingNul: return "TFTP string without its closing NUL";
        case Kind::emptyFileName: return "TFTP request with an empty file name";
        case Kind::fieldTooLong: return "TFTP field too long (" + std::to_string(value) + " bytes)";
        case Kind::tooManyOptions: return "TFTP request with too many options";
        case Kind::badMode: return "TFTP request with an unknown transfer mode";
        case Kind::optionWithoutValue: return "TFTP option without a value";
        case Kind::emptyOptionName: return "TFTP option with an empty name";
    }
    return "malformed TFTP datagram";
}

TFTPParseResult parseTFTPPacket(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size < 2) return Error{Kind::tooShort};
    Reader reader(data, size);
    auto opcode = reader.word();
    switch (static_cast<TFTPOpcode>(opcode)) {
        case TFTPOpcode::readRequest: return readRequest(reader, false);
        case TFTPOpcode::writeRequest: return readRequest(reader, true);
        case TFTPOpcode::data: {
            if (reader.left() < 2) return Error{Kind::tooShort};
            auto block = reader.word();
            if (reader.left() > maximumTFTPDataLength) return Error{Kind::fieldTooLong, reader.left()};
            return TFTPPacket{TFTPData{block, reader.rest()}};
        }
        case TFTPOpcode::ack: {
            if (reader.left() < 2) return Error{Kind::tooShort};
            // Anything after the block number is padding some ROMs add; it says nothing.
            return TFTPPacket{TFTPAck{reader.word()}};
        }
        case TFTPOpcode::error: {
            if (reader.left() < 2) return Error{Kind::tooShort};
            auto code = reader.word();
            auto message = reader.string();
            if (!message) return Error{Kind::missingNul};
            if (message->size() > maximumTFTPErrorMessageLength) return Error{Kind::fieldTooLong, message->size()};
            return TFTPPacket{TFTPError{code, std::string(*message)}};
        }
        case TFTPOpcode::optionAck: {
            auto options = readOptions(reader);
            if (auto* error = std::get_if<Error>(&options)) return *error;
            return TFTPPacket{TFTPOptionAck{std::move(std::get<TFTPOptions>(options))}};
        }
    }
    return Error{Kind::unknownOpcode, opcode};
}

Bytes encodeTFTPData(std::uint16_t block, std::span<const std::uint8_t> payload) {
    auto bytes = withOpcode(TFTPOpcode::data);
    bytes.reserve(4 + payload.size());
    appendWord(bytes, block);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

Bytes encodeTFTPOptionAck(const TFTPOptions& options) {
    auto bytes = withOpcode(TFTPOpcode::optionAck);
    appendOptions(bytes, options);
    return bytes;
}

Bytes encodeTFTPError(TFTPErrorCode code, std::string_view message) {
    auto bytes = withOpcode(TFTPOpcode::error);
    appendWord(bytes, static_cast<std::uint16_t>(code));
    for (char c : message.substr(0, maximumTFTPErrorMessageLength))
        if (c != '\0') bytes.push_back(static_cast<std::uint8_t>(c));
    bytes.push_back(0);
    return bytes;
}

Bytes encodeTFTPReadRequest(std::string_view fileName, std::string_view mode, const TFTPOptions& options) {
    auto bytes = withOpcode(TFTPOpcode::readRequest);
    appendString(bytes, fileName);
    appendString(bytes, mode);
    appendOptions(bytes, options);
    return bytes;
}

Bytes encodeTFTPAck(std::uint16_t block) {
    auto bytes = withOpcode(TFTPOpcode::ack);
    appendWord(bytes, block);
    return bytes;
}

Bytes encodeTFTPPacket(const TFTPPacket& packet) {
    struct Encoder {
        Bytes operator()(const TFTPRequest& request) const {
            auto bytes = withOpcode(request.write ? TFTPOpcode::writeRequest : TFTPOpcode::readRequest);
            appendString(bytes, request.fileName);
            appendString(bytes, request.mode);
            appendOptions(bytes, request.options);
            return bytes;
        }
        Bytes operator()(const TFTPData& data) const { return encodeTFTPData(data.block, data.payload); }
        Bytes operator()(const TFTPAck& ack) const { return encodeTFTPAck(ack.block); }
        Bytes operator()(const TFTPError& error) const {
            auto bytes = withOpcode(TFTPOpcode::error);
            appendWord(bytes, error.code);
            appendString(bytes, error.message);
            return bytes;
        }
        Bytes operator()(const TFTPOptionAck& ack) const { return encodeTFTPOptionAck(ack.options); }
    };
    return std::visit(Encoder{}, packet);
}

}  // namespace anvil
