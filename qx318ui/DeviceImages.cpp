#include "qx318ui/DeviceImages.h"

#include <QPainter>
#include <QPainterPath>

namespace qx318ui {

namespace {

constexpr QColor kBoxBlue{0, 64, 200};
constexpr QColor kBoxEdge{0, 24, 110};
constexpr QColor kDarkRed{128, 0, 0};
constexpr QColor kGreen{0, 160, 0};
constexpr QColor kOlive{128, 128, 0};

QPixmap Canvas(int width, int height, qreal ratio) {
    QPixmap pixmap(qRound(width * ratio), qRound(height * ratio));
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

void DrawBox(QPainter& painter, bool ghosted) {
    painter.setPen(QPen(kBoxEdge, 1));
    painter.setBrush(ghosted ? QBrush(kBoxBlue, Qt::Dense4Pattern) : QBrush(kBoxBlue));
    painter.drawRect(QRectF(1.5, 3.5, 13, 9));
    // Two connector lights on the front.
    if (!ghosted) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(170, 210, 255));
        painter.drawRect(QRectF(3, 9, 2, 2));
        painter.drawRect(QRectF(6, 9, 2, 2));
    }
}

void DrawEmblem(QPainter& painter) {
    painter.setPen(QPen(QColor(120, 120, 120), 1));
    painter.setBrush(Qt::white);
    painter.drawRect(QRectF(0.5, 0.5, 15, 15));
    // A spanner: a ring at the top left and a handle down to the right.
    painter.setPen(QPen(kDarkRed, 2.2, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(5.5, 5.5), QPointF(11.5, 11.5));
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(kDarkRed, 1.8));
    painter.drawEllipse(QPointF(4.5, 4.5), 2.4, 2.4);
}

void DrawModeMark(QPainter& painter, int index) {
    painter.setPen(Qt::NoPen);
    switch (index) {
        case kImageSkosRunning: {
            painter.setBrush(kGreen);
            QPainterPath triangle;
            triangle.moveTo(9, 8);
            triangle.lineTo(15, 11.5);
            triangle.lineTo(9, 15);
            triangle.closeSubpath();
            painter.drawPath(triangle);
            break;
        }
        case kImageSkosStoppedIdle:
            painter.setBrush(kDarkRed);
            painter.drawRect(QRectF(9, 9, 6, 6));
            break;
        case kImageSkosStoppedBusy:
            painter.setBrush(kOlive);
            painter.drawRect(QRectF(9, 8, 2, 7));
            painter.drawRect(QRectF(13, 8, 2, 7));
            break;
        default:
            break;
    }
}

}  // namespace

QPixmap DrawDeviceImage(int index, qreal ratio) {
    QPixmap pixmap = Canvas(kDeviceImageSize, kDeviceImageSize, ratio);
    if (index < 0 || index >= kDeviceImageCount)
        return pixmap;
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing, ratio > 1.0);
    if (index <= kImageDeviceServerGhosted) {
        DrawBox(painter, index == kImageDeviceServerGhosted);
    } else {
        DrawEmblem(painter);
        DrawModeMark(painter, index);
    }
    return pixmap;
}

QPixmap DrawHeaderImage(int index, qreal ratio) {
    QPixmap pixmap = Canvas(kHeaderImageWidth, kHeaderImageHeight, ratio);
    if (index < 0 || index >= kHeaderImageCount)
        return pixmap;
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing, ratio > 1.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(64, 64, 64));
    QPainterPath triangle;
    if (index == kImageSortUp) {
        triangle.moveTo(4.5, 1);
        triangle.lineTo(8.5, 7);
        triangle.lineTo(0.5, 7);
    } else {
        triangle.moveTo(0.5, 1);
        triangle.lineTo(8.5, 1);
        triangle.lineTo(4.5, 7);
    }
    triangle.closeSubpath();
    painter.drawPath(triangle);
    return pixmap;
}

QPixmap DrawExplorerIcon(int size) {
    QPixmap pixmap = Canvas(size, size, 1.0);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 16.0, size / 16.0);
    DrawBox(painter, false);
    // A magnifier over the box: the Explorer looks for devices.
    painter.setPen(QPen(QColor(40, 40, 40), 1.6, Qt::SolidLine, Qt::RoundCap));
    painter.setBrush(QColor(255, 255, 255, 150));
    painter.drawEllipse(QPointF(10, 6.5), 3.5, 3.5);
    painter.drawLine(QPointF(12.6, 9.1), QPointF(15, 11.5));
    return pixmap;
}

QIcon DeviceIcon(int index) {
    QIcon icon;
    for (qreal ratio : {1.0, 2.0, 3.0})
        icon.addPixmap(DrawDeviceImage(index, ratio));
    return icon;
}

QIcon HeaderIcon(int index) {
    QIcon icon;
    for (qreal ratio : {1.0, 2.0, 3.0})
        icon.addPixmap(DrawHeaderImage(index, ratio));
    return icon;
}

QIcon ExplorerIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256})
        icon.addPixmap(DrawExplorerIcon(size));
    return icon;
}

}  // namespace qx318ui
