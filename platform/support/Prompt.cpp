#include "Prompt.h"

#include <cstdio>

namespace support {
namespace {
Prompt* g_prompt = nullptr;
QString g_title = QStringLiteral("Tesmira");

const char* answerName(Prompt::Answer a)
{
  static const char* names[] = {"OK", "Cancel", "Yes", "No", "Retry", "Abort", "Ignore"};
  return names[a];
}

void toStderr(const QString& title, const QString& text)
{
  QString t = text;
  t.replace("\r\n", "\n");
  std::fprintf(stderr, "[%s]\n%s\n", qPrintable(title), qPrintable(t));
  std::fflush(stderr);
}
}

Prompt& prompt()
{
  static HeadlessPrompt fallback;
  return g_prompt ? *g_prompt : fallback;
}

void setPrompt(Prompt* p) { g_prompt = p; }

void Prompt::setDefaultTitle(const QString& title) { g_title = title; }
QString Prompt::defaultTitle() { return g_title; }

Prompt::Answer Prompt::headlessAnswer(Buttons buttons)
{
  switch (buttons) {
  case Ok:
  case OkCancel:
    return AnswerOk;
  case YesNo:
  case YesNoCancel:
    return AnswerYes;
  case RetryCancel:
    return AnswerCancel;
  case AbortRetryIgnore:
    return AnswerIgnore;
  }
  return AnswerOk;
}

Prompt::Answer Prompt::MsgBox(const QString& text, Buttons buttons, Icon icon, const QString& title,
                              int headless)
{
  const QString t = title.isEmpty() ? g_title : title;
  toStderr(t, text);
  const Answer policy = headless < 0 ? headlessAnswer(buttons) : Answer(headless);
  return ask(text, buttons, icon, t, policy);
}

bool Prompt::FileDialog(const QString& title, const QString& filter, const QString& startFolder,
                        QString& path, const QString& headlessPath)
{
  return askFile(title, filter, startFolder, path, headlessPath);
}

bool Prompt::InputBox(const QString& text, const QString& title, const QString& def, QString& value)
{
  return askText(text, title.isEmpty() ? g_title : title, def, value);
}

// --- headless ----------------------------------------------------------------

Prompt::Answer HeadlessPrompt::ask(const QString&, Buttons, Icon, const QString&, Answer headless)
{
  std::fprintf(stderr, "(no operator: answered %s)\n", answerName(headless));
  std::fflush(stderr);
  return headless;
}

bool HeadlessPrompt::askFile(const QString& title, const QString&, const QString&, QString& path,
                             const QString& headlessPath)
{
  if (headlessPath.isEmpty()) {
    std::fprintf(stderr, "[%s]\n(no operator: no file chosen)\n", qPrintable(title));
    return false;
  }
  std::fprintf(stderr, "[%s]\n(no operator: chose %s)\n", qPrintable(title), qPrintable(headlessPath));
  path = headlessPath;
  return true;
}

bool HeadlessPrompt::askText(const QString& text, const QString& title, const QString&, QString&)
{
  toStderr(title, text);
  std::fprintf(stderr, "(no operator: cancelled)\n");
  return false;
}

// --- scripted ----------------------------------------------------------------

Prompt::Answer ScriptedPrompt::ask(const QString& text, Buttons buttons, Icon icon, const QString& title,
                                   Answer headless)
{
  const Answer a = answers.isEmpty() ? headless : answers.takeFirst();
  asked.append({text, title, buttons, icon, a});
  return a;
}

bool ScriptedPrompt::askFile(const QString& title, const QString&, const QString&, QString& path,
                             const QString& headlessPath)
{
  fileTitles.append(title);
  if (files.isEmpty()) {
    path = headlessPath;
    return !headlessPath.isEmpty();
  }
  const QString f = files.takeFirst();
  if (f.isEmpty())
    return false;
  path = f;
  return true;
}

bool ScriptedPrompt::askText(const QString& text, const QString& title, const QString&, QString& value)
{
  asked.append({text, title, Ok, NoIcon, AnswerOk});
  if (texts.isEmpty())
    return false;
  value = texts.takeFirst();
  return true;
}

}
