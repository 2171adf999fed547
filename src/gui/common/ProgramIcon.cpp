#include "gui/common/ProgramIcon.h"

#include <QApplication>
#include <QIconEngine>
#include <QImage>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>

#include <algorithm>
#include <array>
#include <mutex>

// Outside any namespace, as Q_INIT_RESOURCE requires. Registering twice is harmless, so the
// window may also do it itself.
static void registerResources() {
    Q_INIT_RESOURCE(tarnwick);
}

namespace tw::gui {

namespace {

constexpr std::array<int, 6> kDrawnSizes = {16, 32, 48, 64, 128, 256};

/// Draws the program icon from the compiled-in image of the nearest drawn size at each request
/// and keeps no pixmap. Qt's own icon keeps every size it once decoded (350 kB for these six),
/// although after start-up only the small ones are drawn again: the window manager keeps its
/// own copy of the window icon, and labels keep the pixmap they were given.
class ProgramIconEngine : public QIconEngine {
public:
    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
        // Square, never larger than asked nor than the largest image drawn.
        const int side = std::min({size.width(), size.height(), kDrawnSizes.back()});
        return side > 0 ? QSize(side, side) : QSize();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        const QSize wanted = actualSize(size, mode, state);
        if (wanted.isEmpty()) {
            return {};
        }
        // The smallest image at least as large, scaled down when it is not the very size.
        const auto drawn = std::find_if(kDrawnSizes.begin(), kDrawnSizes.end(),
                                        [&](int side) { return side >= wanted.width(); });
        // Through QImage: a pixmap loaded from a file would be kept in the pixmap cache.
        QPixmap image = QPixmap::fromImage(
            QImage(QStringLiteral(":/icons/tarnwick-%1.png").arg(*drawn), "PNG"));
        if (image.isNull()) {
            return image;
        }
        if (image.size() != wanted) {
            image = image.scaled(wanted, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        }
        if (mode == QIcon::Disabled || mode == QIcon::Selected) {
            QStyleOption option;
            option.palette = QApplication::palette();
            image = QApplication::style()->generatedIconPixmap(mode, image, &option);
        }
        return image;
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QPixmap image = pixmap(rect.size() * ratio, mode, state);
        image.setDevicePixelRatio(ratio);
        const QSize shown = image.deviceIndependentSize().toSize();
        painter->drawPixmap(
            QRect(QPoint(), shown).translated(rect.center() - QRect(QPoint(), shown).center()),
            image);
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        QList<QSize> sizes;
        for (const int side : kDrawnSizes) {
            sizes.append(QSize(side, side));
        }
        return sizes;
    }

    QString key() const override { return QStringLiteral("tarnwick-program-icon"); }
    QIconEngine* clone() const override { return new ProgramIconEngine; }
};

} // namespace

QIcon programIcon() {
    static std::once_flag once;
    std::call_once(once, registerResources);
    return QIcon(new ProgramIconEngine);
}

} // namespace tw::gui
