#include "StatusFields.h"

namespace tesmira {

const QStringList& StatusFields::itemNames()
{
  static const QStringList names = {
    "Status", "ComStatus", "OpenCom", "Interface", "Baudrate", "PollTime", "PollBatch",
    "RTPInterval", "SelChan", "Polling", "ProductName", "TESMIRAVersion", "DatabaseVersion",
    "SORANETDLLVersion", "MaxChan", "MaxNode", "MaxPar", "InterfaceChan", "ConfigScreenChan",
    "lblError", "lblAmount", "lblPendingMsg"};
  return names;
}

const QStringList& StatusFields::ComStates()
{
  static const QStringList states = {"Idle", "Init SORANET", "Scanning SORANET", "Normal polling",
                                     "Polling failure", "Simulation", "Communication open"};
  return states;
}

StatusFields::StatusFields()
{
  // The design texts a field shows until the server sets it.
  for (const QString& n : itemNames()) {
    m_names << n;
    m_spelling.insert(n.toLower(), n);
    m_values.insert(n.toLower(), QString());
  }
  const std::pair<const char*, const char*> initial[] = {
    {"OpenCom", "0"}, {"SelChan", "0"}, {"Polling", "0"}, {"MaxChan", "0"}, {"MaxNode", "0"},
    {"MaxPar", "0"}, {"InterfaceChan", "0"}, {"ConfigScreenChan", "0"}, {"lblError", "0"},
    {"lblAmount", "0"}, {"lblPendingMsg", "0"}, {"ProductName", "Tesmira"}};
  for (const auto& [n, v] : initial)
    m_values[QString::fromLatin1(n).toLower()] = QString::fromLatin1(v);
}

QString StatusFields::key(const QString& name) const { return name.toLower(); }

void StatusFields::set(const QString& name, const QString& text)
{
  const QString k = key(name);
  if (!m_spelling.contains(k)) {
    m_spelling.insert(k, name);
    m_names << name;
  }
  m_values[k] = text;
  emit changed(m_spelling.value(k), text);
}

QString StatusFields::value(const QString& name) const { return m_values.value(key(name)); }

bool StatusFields::has(const QString& name) const { return m_spelling.contains(key(name)); }

}
