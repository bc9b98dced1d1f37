#include "core/leases/internet_date.hpp"

#include <cmath>
#include <cstdint>

namespace anvil {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's algorithms).
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

void civilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2);
}

bool isLeapYear(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned daysInMonth(std::int64_t year, unsigned month) {
    static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

const double earliestSeconds = static_cast<double>(daysFromCivil(0, 1, 1)) * 86400;
const double latestSeconds = static_cast<double>(daysFromCivil(9999, 12, 31)) * 86400 + 86399;

bool readDigits(std::string_view text, std::size_t offset, std::size_t count, unsigned& value) {
    value = 0;
    for (std::size_t index = offset; index < offset + count; ++index) {
        char c = text[index];
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

}  // namespace

std::string formatInternetDate(Date date) {
    double seconds = std::floor(date.secondsSince1970);
    if (std::isnan(seconds)) seconds = 0;
    seconds = std::fmin(std::fmax(seconds, earliestSeconds), latestSeconds);
    auto whole = static_cast<std::int64_t>(seconds);
    std::int64_t days = whole >= 0 ? whole / 86400 : (whole - 86399) / 86400;
    auto secondOfDay = static_cast<unsigned>(whole - days * 86400);
    std::int64_t year = 0;
    unsigned month = 0, day = 0;
    civilFromDays(days, year, month, day);
    // Written digit by digit: this runs three times per lease on every save.
    std::string text = "0000-00-00T00:00:00Z";
    auto put = [&text](std::size_t end, unsigned value, int width) {
        for (int digit = 0; digit < width; ++digit, value /= 10)
            text[end - static_cast<std::size_t>(digit)] = static_cast<char>('0' + value % 10);
    };
    put(3, static_cast<unsigned>(year), 4);
    put(6, month, 2);
    put(9, day, 2);
    put(12, secondOfDay / 3600, 2);
    put(15, secondOfDay / 60 % 60, 2);
    put(18, secondOfDay % 60, 2);
    return text;
}

std::optional<Date> parseInternetDate(std::string_view text) {
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != 'Z')
        return std::nullopt;
    unsigned year, month, day, hour, minute, second;
    if (!readDigits(text, 0, 4, year) || !readDigits(text, 5, 2, month) || !readDigits(text, 8, 2, day) ||
        !readDigits(text, 11, 2, hour) || !readDigits(text, 14, 2, minute) || !readDigits(text, 17, 2, second))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    std::int64_t days = daysFromCivil(year, month, day);
    return Date{static_cast<double>(days * 86400 + hour * 3600 + minute * 60 + second)};
}

}  // namespace anvil
