#pragma once
// The live log's lines: the newest few thousand, the filter the user typed, and the pause that
// keeps a snapshot on screen while new lines go on arriving.
#include <cstddef>
#include <deque>
#include <optional>
#include <string>

namespace anvil {

struct LogLine {
    enum class Kind { rx, tx, presence, notice, other };
    long long id = 0;
    std::string text;
    Kind kind = Kind::other;
    friend bool operator==(const LogLine&, const LogLine&) = default;
};

class LogBuffer {
public:
    static constexpr std::size_t capacity = 5000;

    // The newest lines, oldest first; a new line past the capacity pushes out the oldest.
    const std::deque<LogLine>& lines() const { return lines_; }
    // Those of `lines` (or of the paused snapshot) that pass the filter. Kept as lines arrive, so
    // that each line is filtered once.
    const std::deque<LogLine>& visible() const { return visible_; }
    const std::string& filter() const { return filter_; }
    bool paused() const { return paused_; }

    // Whether a line passes the filter, compared case-insensitively in the user's locale.
    static bool matches(const std::string& text, const std::string& filter);

    void add(const std::string& text, LogLine::Kind kind);
    void clear();
    // Each returns whether anything changed.
    bool setPaused(bool paused);
    bool setFilter(const std::string& filter);

private:
    // Filters the shown lines again from the start, after the filter or the source changed.
    void refilter();

    std::deque<LogLine> lines_;
    std::optional<std::deque<LogLine>> pausedLines_;
    std::deque<LogLine> visible_;
    std::string filter_;
    bool paused_ = false;
    long long nextID_ = 1;
};

}  // namespace anvil
