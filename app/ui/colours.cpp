#include "app/ui/colours.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <cmath>

namespace anvil {

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < palette.color(QPalette::WindowText).lightness();
}

namespace {

// One colour per theme, each with at least 4.5:1 contrast against the usual window and base colours.
QColor pick(const QPalette& palette, const char* light, const char* dark) {
    return QColor(isDark(palette) ? dark : light);
}

}  // namespace

QColor secondaryText(const QPalette& palette) {
    QColor text = palette.color(QPalette::WindowText);
    QColor window = palette.color(QPalette::Window);
    auto mix = [](int a, int b) { return (a * 7 + b * 3) / 10; };
    return QColor(mix(text.red(), window.red()), mix(text.green(), window.green()), mix(text.blue(), window.blue()));
}

QColor statusColour(PreflightCheck::Status status, const QPalette& palette) {
    switch (status) {
        case PreflightCheck::Status::pass: return pick(palette, "#1b7a35", "#6fd08c");
        case PreflightCheck::Status::warn: return pick(palette, "#8f5d00", "#f0b64a");
        case PreflightCheck::Status::fail: return pick(palette, "#b3261e", "#ff8a80");
    }
    return palette.color(QPalette::WindowText);
}

QColor presenceColour(std::optional<PresenceState> presence, const QPalette& palette) {
    if (!presence) return secondaryText(palette);
    switch (*presence) {
        case PresenceState::online: return statusColour(PreflightCheck::Status::pass, palette);
        case PresenceState::unknown: return statusColour(PreflightCheck::Status::warn, palette);
        case PresenceState::conflict: return statusColour(PreflightCheck::Status::fail, palette);
        case PresenceState::offline: break;
    }
    return secondaryText(palette);
}

QIcon presenceMarker(std::optional<PresenceState> presence, const QPalette& palette) {
    QColor colour = presenceColour(presence, palette);
    QIcon icon;
    for (qreal ratio : {1.0, 2.0}) {
        QPixmap pixmap(QSize(12, 12) * ratio);
        pixmap.setDevicePixelRatio(ratio);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        // Hollow while nothing is known, so that the marker differs by shape as well as colour.
        if (!presence || *presence == PresenceState::offline) {
            painter.setPen(QPen(colour, 1.6));
            painter.setBrush(Qt::NoBrush);
        }
        painter.drawEllipse(QRectF(2, 2, 8, 8));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QColor logColour(LogLine::Kind kind, const QPalette& palette) {
    switch (kind) {
        case LogLine::Kind::rx: return pick(palette, "#1f5fbf", "#82b1ff");
        case LogLine::Kind::tx: return pick(palette, "#1b7a35", "#6fd08c");
        case LogLine::Kind::presence: return pick(palette, "#7a3db8", "#d0a6ff");
        case LogLine::Kind::notice: return pick(palette, "#a14d00", "#ffb86b");
        case LogLine::Kind::other: return {};
    }
    return {};
}

BannerColours bannerColours(bool critical, const QPalette& palette) {
    if (isDark(palette))
        return {QColor(critical ? "#4d1f1c" : "#47380f"), QColor("#f2f2f2")};
    return {QColor(critical ? "#fbe3e1" : "#fff3cd"), QColor("#1d1d1d")};
}

QIcon glyphIcon(Glyph glyph, const QPalette& palette) {
    QIcon icon;
    for (QIcon::Mode mode : {QIcon::Normal, QIcon::Disabled}) {
        QColor colour =
            palette.color(mode == QIcon::Disabled ? QPalette::Disabled : QPalette::Active, QPalette::ButtonText);
        // Drawn at twice the size as well, for screens at 200 %.
        for (int scale : {1, 2}) {
            QPixmap pixmap(16 * scale, 16 * scale);
            pixmap.fill(Qt::transparent);
            QPainter painter(&pixmap);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.scale(scale, scale);
            painter.setPen(Qt::NoPen);
            painter.setBrush(colour);
            switch (glyph) {
                case Glyph::play: painter.drawPolygon(QPolygonF{{QPointF(4, 2.5), QPointF(13.5, 8), QPointF(4, 13.5)}}); break;
                case Glyph::stop: painter.drawRoundedRect(QRectF(3.5, 3.5, 9, 9), 1.5, 1.5); break;
                case Glyph::pause:
                    painter.drawRect(QRectF(4, 3, 3, 10));
                    painter.drawRect(QRectF(9, 3, 3, 10));
                    break;
                case Glyph::gear: {
                    // Eight teeth around a ring.
                    painter.translate(8, 8);
                    for (int tooth = 0; tooth < 8; ++tooth) {
                        painter.drawRect(QRectF(-1.3, -7.5, 2.6, 3.5));
                        painter.rotate(45);
                    }
                    QPainterPath ring;
                    ring.addEllipse(QPointF(0, 0), 5.2, 5.2);
                    ring.addEllipse(QPointF(0, 0), 2.2, 2.2);
                    painter.drawPath(ring);
                    break;
                }
            }
            painter.end();
            icon.addPixmap(pixmap, mode);
        }
    }
    return icon;
}

QPixmap portIcon(int size, qreal pixelRatio, int lit) {
    // An Ethernet port seen from the front, drawn so that no image plug-in is needed.
    int pixels = static_cast<int>(std::ceil(size * pixelRatio));
    QPixmap pixmap(pixels, pixels);
    pixmap.setDevicePixelRatio(pixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 64.0, size / 64.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor("#2c3e50"));
    painter.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
    painter.setBrush(QColor("#ecf0f1"));
    QPolygonF port;
    port << QPointF(14, 20) << QPointF(50, 20) << QPointF(50, 44) << QPointF(40, 44) << QPointF(40, 50)
         << QPointF(24, 50) << QPointF(24, 44) << QPointF(14, 44);
    painter.drawPolygon(port);
    for (int pin = 0; pin < 8; ++pin) {
        painter.setBrush(QColor(pin == lit ? "#f9e79f" : "#e67e22"));
        painter.drawRect(QRectF(17 + pin * 4, 22, 2.2, pin == lit ? 9 : 7));
    }
    return pixmap;
}

}  // namespace anvil
