#pragma once
// What the program showed, compared line by line with a reviewed copy kept
// under tests/.
#include <QFile>
#include <QStringList>

#include <functional>

namespace shipped {

// Compares `shown` with the reviewed copy `file` (relative to the source
// tree): empty when they agree, else the first line that differs.
// TESMIRA_WRITE_TEXTS=1 writes the copy anew after a deliberate change:
// read its diff before committing it.
inline QString differs(const QStringList& shown, const QString& file)
{
  QFile golden(qEnvironmentVariable("TESMIRA_SOURCE_DIR") + '/' + file);
  if (qEnvironmentVariableIsSet("TESMIRA_WRITE_TEXTS")) {
    if (!golden.open(QIODevice::WriteOnly) || golden.write((shown.join('\n') + '\n').toUtf8()) < 0)
      return "cannot write " + golden.fileName();
    golden.close();
  }
  if (!golden.open(QIODevice::ReadOnly))
    return "no reviewed copy " + golden.fileName();
  const QStringList shipped = QString::fromUtf8(golden.readAll()).split('\n');
  for (qsizetype i = 0; i < std::max(shown.size(), shipped.size() - 1); ++i)
    if (shown.value(i) != shipped.value(i))
      return QStringLiteral("%1 line %2\n   shown: %3\n shipped: %4").arg(file).arg(i + 1).arg(shown.value(i), shipped.value(i));
  return {};
}

// The outcome for each key of a domain, neighbouring keys with the same
// outcome on one line: "first-last outcome" ("key outcome" alone), the key
// part padded to labelWidth.
inline QStringList runs(const QList<int>& keys, const std::function<QString(int)>& outcome, int labelWidth = 0)
{
  QStringList out;
  QString last;
  qsizetype first = 0;
  for (qsizetype i = 0; i <= keys.size(); ++i) {
    const QString now = i < keys.size() ? outcome(keys[i]) : QString();
    if (i > 0 && (i == keys.size() || now != last)) {
      const QString label = QString::number(keys[first]) + (i - 1 > first ? "-" + QString::number(keys[i - 1]) : QString());
      out << label.leftJustified(labelWidth) + ' ' + last;
      first = i;
    }
    last = now;
  }
  return out;
}

// One run of a program as a transcript shows it: the command, its exit code
// and every line it wrote, each marked with its stream.
inline void addRun(QStringList& shown, const QString& command, int code, const QString& out, const QString& err)
{
  shown << "$ " + command << QStringLiteral("exit %1").arg(code);
  for (const auto& [stream, text] : {std::pair{"out", out}, std::pair{"err", err}})
    for (const QString& l : text.split('\n', Qt::SkipEmptyParts))
      shown << QString(stream) + ": " + l;
}

}
