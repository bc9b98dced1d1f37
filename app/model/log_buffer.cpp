// The live log's lines, their filter and pause.
#include "app/model/log_buffer.hpp"

#include <cwctype>

namespace anvil {

namespace {

// Lower-cases text in the current locale (the application sets the user's), decoding UTF-8 so that
// letters beyond ASCII match in any case too. Bytes that are not UTF-8 are compared as they are.
std::u32string folded(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80           ? 1
                             : (lead >> 5) == 0x6  ? 2
                             : (lead >> 4) == 0xE  ? 3
                             : (lead >> 3) == 0x1E ? 4
                                                   : 1;
        char32_t point = length == 1 ? lead : lead & (0x7F >> length);
        if (i + length > text.size()) length = 1, point = lead;
        for (std::size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                length = 1;
                point = lead;
                break;
            }
            point = (point << 6) | (next & 0x3F);
        }
        i += length;
        out.push_back(static_cast<char32_t>(std::towlower(static_cast<std::wint_t>(point))));
    }
    return out;
}

}  // namespace

bool LogBuffer::matches(const std::string& text, const std::string& filter) {
    return filter.empty() || folded(text).find(folded(filter)) != std::u32string::npos;
}

void LogBuffer::add(const std::string& text, LogLine::Kind kind) {
    lines_.push_back({nextID_++, text, kind});
    if (lines_.size() > capacity) lines_.pop_front();
    // A paused log keeps showing its snapshot; the new line joins when it resumes.
    if (paused_) return;
    if (matches(lines_.back().text, filter_)) visible_.push_back(lines_.back());
    while (!visible_.empty() && visible_.front().id < lines_.front().id) visible_.pop_front();
}

void LogBuffer::refilter() {
    const auto& source = (paused_ && pausedLines_) ? *pausedLines_ : lines_;
    visible_.clear();
    for (const auto& line : source)
        if (matches(line.text, filter_)) visible_.push_back(line);
}

void LogBuffer::clear() {
    lines_.clear();
    visible_.clear();
    if (pausedLines_) pausedLines_->clear();
}

bool LogBuffer::setPaused(bool paused) {
    if (paused == paused_) return false;
    paused_ = paused;
    if (paused) {
        // The shown lines are already the snapshot's, filtered; only a new filter needs the snapshot.
        pausedLines_ = lines_;
    } else {
        pausedLines_.reset();
        refilter();
    }
    return true;
}

bool LogBuffer::setFilter(const std::string& filter) {
    if (filter == filter_) return false;
    filter_ = filter;
    refilter();
    return true;
}

}  // namespace anvil
