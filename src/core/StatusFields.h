#pragma once
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

namespace tesmira {

// The main window's labelled status fields, kept apart from the widgets so
// that the server topic can publish them as items and tests can read them
// without a window. Names are the item names ("Status", "ComStatus",
// "OpenCom", "Interface", ...) and the label names of the counters
// ("lblError", "lblAmount", "lblPendingMsg"). Names compare without regard
// to case.
class StatusFields : public QObject {
  Q_OBJECT
public:
  StatusFields();

  void set(const QString& name, const QString& text);
  QString value(const QString& name) const;
  bool has(const QString& name) const;
  // All field names in display order.
  const QStringList& names() const { return m_names; }

  // Names of the fields that the server topic offers as items.
  static const QStringList& itemNames();
  // The seven communication states ComStatus takes; any other text in
  // Status is an activity.
  static const QStringList& ComStates();

signals:
  void changed(const QString& name, const QString& text);

private:
  QString key(const QString& name) const;
  QStringList m_names;
  QHash<QString, QString> m_values; // lower-case name -> text
  QHash<QString, QString> m_spelling; // lower-case name -> display name
};

}
