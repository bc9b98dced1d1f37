#include "core/events/notice_kind_json.hpp"

#include <nlohmann/json.hpp>

#include "core/addressing/decoding_error.hpp"

namespace anvil {

void to_json(nlohmann::json& json, NoticeKind kind) { json = std::string(rawValue(kind)); }

void from_json(const nlohmann::json& json, NoticeKind& kind) {
    std::optional<NoticeKind> decoded;
    if (json.is_string()) decoded = noticeKindFromRaw(json.get_ref<const std::string&>());
    if (!decoded)
        throw DecodingError("Not a notice kind: " + (json.is_string() ? json.get<std::string>() : json.dump()));
    kind = *decoded;
}

}  // namespace anvil
