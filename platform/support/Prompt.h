#pragma once
#include <QList>
#include <QString>
#include <QStringList>

namespace support {

// Every message box, question, input box and file dialog of the program goes
// through one Prompt. The GUI prompt (GuiPrompt, with the windows in src/ui)
// shows Qt dialogs; the headless prompt answers by policy (see
// headlessAnswer) and logs the question; tests install a ScriptedPrompt that answers from a queue and records what was asked.
// Whatever the prompt, the title and text of every box are also written to
// standard error, so a failed start explains itself in a terminal or a log.
class Prompt {
public:
  enum Buttons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel, AbortRetryIgnore };
  enum Icon { NoIcon, Critical, Question, Exclamation, Information };
  enum Answer { AnswerOk, AnswerCancel, AnswerYes, AnswerNo, AnswerRetry, AnswerAbort, AnswerIgnore };

  virtual ~Prompt() = default;

  // Shows a message box. headless is the answer a server without an operator
  // gives; when left as -1 the policy of headlessAnswer applies.
  Answer MsgBox(const QString& text, Buttons buttons = Ok, Icon icon = NoIcon,
                const QString& title = {}, int headless = -1);

  // Asks for a file to create or open. False when cancelled. headlessPath
  // is the file a server without an operator takes; when empty it cancels.
  bool FileDialog(const QString& title, const QString& filter, const QString& startFolder,
                  QString& path, const QString& headlessPath = {});

  // Asks for a line of text. False when cancelled.
  bool InputBox(const QString& text, const QString& title, const QString& def, QString& value);

  // The policy of a server without an operator: the answer that lets it go
  // on serving. Ok for Ok/OkCancel, Yes for YesNo/YesNoCancel, Cancel for
  // RetryCancel (a line that cannot be written is dropped rather than
  // retried for ever), Ignore for AbortRetryIgnore.
  static Answer headlessAnswer(Buttons buttons);

  // Title used when the caller gives none (the program's title).
  static void setDefaultTitle(const QString& title);
  static QString defaultTitle();

protected:
  virtual Answer ask(const QString& text, Buttons buttons, Icon icon, const QString& title,
                     Answer headless) = 0;
  virtual bool askFile(const QString& title, const QString& filter, const QString& startFolder,
                       QString& path, const QString& headlessPath) = 0;
  virtual bool askText(const QString& text, const QString& title, const QString& def,
                       QString& value) = 0;
};

// Answers by policy; texts are not asked (cancelled), files only where the
// caller names the one to take.
class HeadlessPrompt : public Prompt {
protected:
  Answer ask(const QString& text, Buttons buttons, Icon icon, const QString& title, Answer headless) override;
  bool askFile(const QString& title, const QString& filter, const QString& startFolder, QString& path,
               const QString& headlessPath) override;
  bool askText(const QString& text, const QString& title, const QString& def, QString& value) override;
};

// For tests: answers come from queues; when a queue is empty the headless
// answer is given. Every question is recorded.
class ScriptedPrompt : public Prompt {
public:
  struct Asked {
    QString text, title;
    Buttons buttons;
    Icon icon;
    Answer answer;
  };
  QList<Answer> answers;
  QStringList files;  // an empty string in the queue means "cancelled"
  QStringList texts;
  QList<Asked> asked;
  QStringList fileTitles;

protected:
  Answer ask(const QString& text, Buttons buttons, Icon icon, const QString& title, Answer headless) override;
  bool askFile(const QString& title, const QString& filter, const QString& startFolder, QString& path,
               const QString& headlessPath) override;
  bool askText(const QString& text, const QString& title, const QString& def, QString& value) override;
};

// The prompt in use. The program installs one at start-up; tests install a
// ScriptedPrompt. Without one installed, a HeadlessPrompt answers.
Prompt& prompt();
void setPrompt(Prompt* p);

}
