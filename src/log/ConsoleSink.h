#pragma once
#include <QString>

namespace tesmira {

// Where the logger's console lines are shown: the main window's console
// pane (ConsolePane in src/ui) in the windowed program; a test may collect
// them. The pane keeps its own length rule and applies the colours it is
// given; the logger keeps the colour options and stores them.
class ConsoleSink {
public:
  virtual ~ConsoleSink() = default;
  // Appends one line.
  virtual void appendLine(const QString& line) = 0;
  // Console colours as B*65536 + G*256 + R; -1 is the platform's colour.
  virtual void setColours(int back, int fore) {}
};

}
