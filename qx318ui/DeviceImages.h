#pragma once
// The Device Explorer's images, drawn by the library itself at whatever
// device pixel ratio the screen asks for, so they stay crisp on HiDPI screens.
//
// Device images (16 x 16): 0 a solid blue device box; 1 the same box ghosted;
// 2 a dark red tool emblem on a white tile; 3 the emblem with a green
// right-pointing triangle; 4 with a dark red square; 5 with two olive
// vertical bars. Header images (9 x 8): 0 an upward triangle, 1 a downward one.

#include <QIcon>
#include <QPixmap>

namespace qx318ui {

constexpr int kDeviceImageCount = 6;
constexpr int kDeviceImageSize = 16;
constexpr int kHeaderImageCount = 2;
constexpr int kHeaderImageWidth = 9;
constexpr int kHeaderImageHeight = 8;

enum DeviceImage {
    kImageDeviceServer = 0,
    kImageDeviceServerGhosted = 1,
    kImageSkos = 2,
    kImageSkosRunning = 3,
    kImageSkosStoppedIdle = 4,
    kImageSkosStoppedBusy = 5,
};
enum HeaderImage { kImageSortUp = 0, kImageSortDown = 1 };

// One image at a device pixel ratio; transparent where nothing is drawn.
QPixmap DrawDeviceImage(int index, qreal devicePixelRatio);
QPixmap DrawHeaderImage(int index, qreal devicePixelRatio);
// The dialog's icon, at any size.
QPixmap DrawExplorerIcon(int size);

// The images as icons holding pixmaps for ratios 1, 2 and 3 (they need a
// running QGuiApplication); callers keep them.
QIcon DeviceIcon(int index);
QIcon HeaderIcon(int index);
QIcon ExplorerIcon();

}  // namespace qx318ui
