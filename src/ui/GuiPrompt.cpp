#include "GuiPrompt.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

namespace support {

Prompt::Answer GuiPrompt::ask(const QString& text, Buttons buttons, Icon icon, const QString& title,
                              Answer)
{
  QMessageBox box;
  box.setWindowTitle(title);
  box.setText(QString(text).replace("\r\n", "\n"));
  switch (icon) {
  case Critical: box.setIcon(QMessageBox::Critical); break;
  case Question: box.setIcon(QMessageBox::Question); break;
  case Exclamation: box.setIcon(QMessageBox::Warning); break;
  case Information: box.setIcon(QMessageBox::Information); break;
  case NoIcon: break;
  }
  QMessageBox::StandardButtons b;
  switch (buttons) {
  case Ok: b = QMessageBox::Ok; break;
  case OkCancel: b = QMessageBox::Ok | QMessageBox::Cancel; break;
  case YesNo: b = QMessageBox::Yes | QMessageBox::No; break;
  case YesNoCancel: b = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel; break;
  case RetryCancel: b = QMessageBox::Retry | QMessageBox::Cancel; break;
  case AbortRetryIgnore: b = QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore; break;
  }
  box.setStandardButtons(b);
  switch (box.exec()) {
  case QMessageBox::Ok: return AnswerOk;
  case QMessageBox::Yes: return AnswerYes;
  case QMessageBox::No: return AnswerNo;
  case QMessageBox::Retry: return AnswerRetry;
  case QMessageBox::Abort: return AnswerAbort;
  case QMessageBox::Ignore: return AnswerIgnore;
  default: return AnswerCancel;
  }
}

bool GuiPrompt::askFile(const QString& title, const QString& filter, const QString& startFolder,
                        QString& path, const QString&)
{
  // Filters come in the "Text|pattern|Text|pattern" form; Qt wants ";;".
  const QStringList parts = filter.split('|');
  QStringList qtFilters;
  for (int i = 0; i + 1 < parts.size(); i += 2)
    qtFilters << parts[i];
  const QString chosen = QFileDialog::getSaveFileName(nullptr, title, startFolder, qtFilters.join(";;"),
                                                      nullptr, QFileDialog::DontConfirmOverwrite);
  if (chosen.isEmpty())
    return false;
  path = chosen;
  return true;
}

bool GuiPrompt::askText(const QString& text, const QString& title, const QString& def, QString& value)
{
  bool ok = false;
  const QString v = QInputDialog::getText(nullptr, title, text, QLineEdit::Normal, def, &ok);
  if (ok)
    value = v;
  return ok;
}

}
