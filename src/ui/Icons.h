#pragma once
#include <QIcon>
#include <QPixmap>

namespace tesmira::Icons {

// The program icon and its two busy frames, drawn in code so that the
// program needs no image files: resource 101 is the idle icon, 102 and 103
// alternate while the server is busy.
QIcon programIcon(int resource = 101);

// The busy window's picture strip: eight frames side by side, each size x size.
QPixmap busyStrip(int size = 32);

}
