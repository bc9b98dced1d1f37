#pragma once
// Colours and the port icon, chosen from the palette so that they read on light and dark desktops.
#include <QColor>
#include <QIcon>
#include <QPalette>
#include <QPixmap>

#include "app/app_model.hpp"
#include "core/host/preflight.hpp"

namespace anvil {

// Whether the palette draws light text on a dark window.
bool isDark(const QPalette& palette);

// Text of lesser weight (notes, row titles): between the text and the window colour, still easy to read.
QColor secondaryText(const QPalette& palette);

// The mark colour of a check's status.
QColor statusColour(PreflightCheck::Status status, const QPalette& palette);

// The marker colour of a lease's presence: green online, amber while checking, red on a conflict,
// muted when offline or not probed.
QColor presenceColour(std::optional<PresenceState> presence, const QPalette& palette);
// A round marker of that colour, for a table cell beside its word.
QIcon presenceMarker(std::optional<PresenceState> presence, const QPalette& palette);

// The colour of an on-screen log line of this kind; invalid for lines drawn in the text colour.
QColor logColour(LogLine::Kind kind, const QPalette& palette);

// A banner's background and text: a tint of red for the critical notices, of amber for the others.
struct BannerColours {
    QColor background;
    QColor text;
};
BannerColours bannerColours(bool critical, const QPalette& palette);

// Toolbar glyphs drawn in the palette's button text colour, so that they show on light and dark bars.
enum class Glyph { play, stop, pause, gear };
QIcon glyphIcon(Glyph glyph, const QPalette& palette);

// The application's port icon, `size` device-independent pixels wide, drawn for the screen's pixel
// ratio. `lit` picks the one pin drawn lit (none when negative), so that stepping it animates a signal.
QPixmap portIcon(int size, qreal pixelRatio = 1.0, int lit = -1);

}  // namespace anvil
