#pragma once
#include "log/ConsoleSink.h"

#include <QColor>
#include <QPlainTextEdit>

class QTextDocument;

namespace tesmira {

// The main window's console pane (txtTerm): the logger's console lines,
// read-only, in the console colours. The pane holds a bounded text: at
// kConsoleLimit characters or more it is cut to its last kConsoleKeep
// characters before a line is added. Both count every line break as two
// characters (CR LF), as the log file has them.
class ConsolePane : public QPlainTextEdit, public ConsoleSink {
  Q_OBJECT
public:
  explicit ConsolePane(QWidget* parent = nullptr);

  void appendLine(const QString& line) override;
  void setColours(int back, int fore) override;

  // A colour number (B*65536 + G*256 + R) as a colour.
  static QColor colourFromNumber(int bgr);

  static constexpr int kConsoleLimit = 16384;
  static constexpr int kConsoleKeep = 12288;

private:
  static int keepFrom(const QTextDocument* doc, int keep);
};

}
