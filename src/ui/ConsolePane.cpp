#include "ConsolePane.h"

#include <QApplication>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace tesmira {

ConsolePane::ConsolePane(QWidget* parent) : QPlainTextEdit(parent)
{
  setReadOnly(true);
  // Lines are only ever appended and cut: an undo history would keep every
  // line (and every cut) for good.
  setUndoRedoEnabled(false);
}

QColor ConsolePane::colourFromNumber(int bgr)
{
  return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
}

// The document position from which the pane's last `keep` characters run,
// line breaks counted as CR LF. When the count ends in a break, the break
// goes too: the pane then starts with the line after it.
int ConsolePane::keepFrom(const QTextDocument* doc, int keep)
{
  for (QTextBlock b = doc->lastBlock(); b.isValid(); b = b.previous()) {
    const int length = b.length() - 1; // without its separator
    if (length >= keep)
      return b.position() + length - keep;
    keep -= length + 2;
    if (keep <= 0)
      return b.position();
  }
  return 0;
}

void ConsolePane::appendLine(const QString& text)
{
  QTextDocument* doc = document();
  // The pane's text as a text of lines joined by CR LF: every line break
  // counts two characters. The document itself holds one separator per
  // break (and one closing separator beyond the text).
  const int breaks = doc->blockCount() - 1;
  const int held = doc->characterCount() - 1 + breaks;
  QTextCursor cursor(doc);
  cursor.beginEditBlock();
  if (held >= kConsoleLimit) {
    cursor.setPosition(0);
    cursor.setPosition(keepFrom(doc, kConsoleKeep), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
  }
  cursor.movePosition(QTextCursor::End);
  if (held > 0)
    cursor.insertBlock();
  cursor.insertText(text);
  cursor.endEditBlock();
  setTextCursor(cursor);
  ensureCursorVisible();
}

// -1 is the platform's colour: window background and window text.
void ConsolePane::setColours(int back, int fore)
{
  const QPalette system = QApplication::palette(this);
  QPalette p = palette();
  p.setColor(QPalette::Base, back < 0 ? system.color(QPalette::Base) : colourFromNumber(back));
  p.setColor(QPalette::Text, fore < 0 ? system.color(QPalette::Text) : colourFromNumber(fore));
  setPalette(p);
}

}
