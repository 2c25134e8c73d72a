#pragma once

class QHBoxLayout;
class QPushButton;
class QTableWidget;
class QWidget;

namespace tesmira {

// Pieces the operator windows share.

// The row at the foot of a dialog: an optional widget on the left, then the
// buttons "OK" (the default button, cmdOK) and "Cancel" (cmdCancel) on the
// right.
QHBoxLayout* OkCancelRow(QWidget* dialog, QPushButton*& ok, QPushButton*& cancel, QWidget* left = nullptr);

// A read-only list grid: whole rows selected, compact rows, alternating
// colours, the last column filling the width.
QTableWidget* ListGrid(QWidget* parent, const char* name);

}
