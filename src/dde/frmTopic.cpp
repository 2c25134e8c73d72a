#include "frmTopic.h"

#include "core/Server.h"
#include "db/Database.h"

#include "Debug.h"
#include "Server.h" // ddeml::Server (platform/ddeml)

#include <QJsonObject>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

namespace tesmira {

frmTopic::frmTopic(Server& s, ddeml::Server& link, int16_t ch) : m_s(s), m_link(link)
{
  if (m_s.debug())
    m_s.debug()->LogClassInit(QStringLiteral("fTopic"));
  channel = ch;
  tag = QString::number(ch);
  topicName = topicNameOf(ch);
  m_topicKey = topicName.toCaseFolded();
  m_link.addTopic(topicName);
  // The command item exists from the start; CreateItems gives it its text.
  m_link.createItem(topicName, itemName(0), QString());
}

frmTopic::~frmTopic()
{
  m_link.removeTopic(topicName);
  if (m_s.debug())
    m_s.debug()->LogClassTerm(QStringLiteral("fTopic"));
}

void frmTopic::CreateItems(int16_t ch)
{
  tag = QString::number(ch);
  channel = ch;
  if (topicNameOf(ch) != topicName) {
    // Renaming a topic is removing it and adding the new one.
    m_link.removeTopic(topicName);
    topicName = topicNameOf(ch);
    m_topicKey = topicName.toCaseFolded();
    m_link.addTopic(topicName);
  }
  m_valued.clear();
  createItem(0, QStringLiteral("paramread"));
  setNameTag(0, QStringLiteral("paramread"));
  if (ch == 0) {
    createItem(1, QStringLiteral("readstatus"));
    setNameTag(1, QStringLiteral("readstatus"));
    createItem(2, QStringLiteral("writestatus"));
    setNameTag(2, QStringLiteral("writestatus"));
  } else if (m_s.db) {
    const auto& table = m_s.db->ParameterTable;
    for (int m = 1; m <= m_s.db->MaxParNr && m < int(table.size()); ++m) {
      if (!m_s.channels.available(ch, m))
        continue;
      QString name = table[m].Name;
      while (name.endsWith(QLatin1Char(' ')))
        name.chop(1);
      setNameTag(int16_t(m), name);
      createItem(int16_t(m), name);
    }
  }
  m_hasInfo = true;
  updateInfo();
}

void frmTopic::ChangeItem(int16_t index, const QString& value)
{
  // No event processing between raising and lowering the flag: a poke can
  // only be seen between two server writes, never inside one.
  changing = true;
  m_valued.insert(index);
  const bool source = m_hasInfo && infoSource(index) && item(index) != value;
  // Folded names: the link server finds the item without folding them again
  // (what clients and listeners see keeps the item's own spelling).
  m_link.setItem(m_topicKey, itemKey(index), value);
  changing = false;
  if (source)
    updateInfo();
}

namespace {
// "P(0)" to "P(510)" (or with another prefix), made once: the names are
// asked for at every value.
QList<QString> indexNames(QChar prefix)
{
  QList<QString> names;
  names.reserve(511);
  for (int i = 0; i <= 510; ++i)
    names.append(prefix + QStringLiteral("(%1)").arg(i));
  return names;
}

QString indexName(const QList<QString>& names, QChar prefix, int16_t index)
{
  return index >= 0 && index < names.size() ? names[index] : prefix + QStringLiteral("(%1)").arg(index);
}
}

QString frmTopic::itemName(int16_t index)
{
  static const QList<QString> names = indexNames(u'P');
  return indexName(names, u'P', index);
}

QString frmTopic::itemKey(int16_t index)
{
  static const QList<QString> keys = indexNames(u'p');
  return indexName(keys, u'p', index);
}

QString frmTopic::item(int16_t index) const { return m_link.item(topicName, itemName(index)); }

bool frmTopic::hasItem(int16_t index) const { return m_link.hasItem(topicName, itemName(index)); }

void frmTopic::createItem(int16_t index, const QString& value)
{
  if (!m_link.hasItem(topicName, itemName(index)))
    m_link.createItem(topicName, itemName(index), QString());
  // The name shown before a value, not a value: the item is not valued until the server
  // sets it (ChangeItem).
  m_valued.remove(index);
  changing = true;
  m_link.setItem(topicName, itemName(index), value);
  changing = false;
  if (m_hasInfo)
    updateInfo();
}

void frmTopic::removeItem(int16_t index)
{
  m_link.removeItem(topicName, itemName(index));
  m_nameTags.remove(index);
  m_infoSources.remove(index);
  m_valued.remove(index);
  if (m_hasInfo)
    updateInfo();
}

void frmTopic::UpdateIFIParams()
{
  ChannelModel& cm = m_s.channels;
  if (!m_s.db || channel < 1 || channel >= int16_t(cm.ChanParIfiFlag.size()))
    return;
  const auto& table = m_s.db->ParameterTable;
  for (int p = 1; p <= m_s.db->MaxParNr && p < int(table.size()); ++p) {
    const bool now = cm.ChanParIfiFlag[size_t(channel)][size_t(p)] != 0;
    if (cm.available(channel, p) == now)
      continue;
    if (now) {
      QString name = table[size_t(p)].Name;
      while (name.endsWith(QLatin1Char(' ')))
        name.chop(1);
      setNameTag(int16_t(p), name);
      createItem(int16_t(p), name);
    } else {
      removeItem(int16_t(p));
    }
    cm.ParAvailable[size_t(channel)][size_t(p)] = now ? 1 : 0;
  }
}

// ---------------------------------------------------------------- metadata

namespace {

QString trimmedName(const QString& padded)
{
  QString n = padded;
  while (n.endsWith(QLatin1Char(' ')))
    n.chop(1);
  return n;
}

// The parameter number of a short name; 0 when the table has none.
int16_t numberOf(const Database& db, const QString& name)
{
  for (size_t p = 1; p < db.ParameterTable.size(); ++p)
    if (trimmedName(db.ParameterTable[p].Name) == name)
      return int16_t(p);
  return 0;
}

// Items whose unit is another item's value on the same channel.
const QHash<QString, QString>& unitItems()
{
  static const QHash<QString, QString> units = {
    {QStringLiteral("fmeasure"), QStringLiteral("capunit")},  {QStringLiteral("fsetpoint"), QStringLiteral("capunit")},
    {QStringLiteral("capacity"), QStringLiteral("capunit")},  {QStringLiteral("capmin"), QStringLiteral("capunit")},
    {QStringLiteral("cntrvalue"), QStringLiteral("cntrunit")}, {QStringLiteral("cntrlimit"), QStringLiteral("cntrunit")},
    {QStringLiteral("pressure"), QStringLiteral("pressunit")}, {QStringLiteral("hpress"), QStringLiteral("pressunit")},
    {QStringLiteral("lpress"), QStringLiteral("pressunit")},
  };
  return units;
}

QString number(double v) { return QString::number(v, 'g', 10); }

}

QString ItemInfo::access() const
{
  return QString(readable ? QStringLiteral("R") : QString()) + (writable ? QStringLiteral("W") : QString());
}

QJsonObject ItemInfo::toJson() const
{
  QJsonObject o{{"name", name},   {"longName", longName}, {"description", description},
                {"unit", unit},   {"datatype", datatype}, {"polled", polled}};
  if (hasRange) {
    o.insert("min", min);
    o.insert("max", max);
  }
  if (!capacity.isEmpty())
    o.insert("capacity", capacity);
  if (deviceType >= 0)
    o.insert("deviceType", deviceType);
  if (!values.isEmpty()) {
    QJsonObject meanings;
    for (const auto& [value, meaning] : values)
      meanings.insert(value, meaning);
    o.insert("values", meanings);
  }
  return o;
}

ItemInfo ItemInfo::plainText(const QString& item)
{
  ItemInfo in;
  in.item = in.name = item;
  in.datatype = QStringLiteral("text");
  in.readable = true;
  return in;
}

bool frmTopic::infoSource(int16_t index) const
{
  // Only the unit items: the capacity shown beside the measure is read
  // once, and a polled capacity must not rebuild metadata at every poll.
  return index > 1 && m_infoSources.contains(index);
}

void frmTopic::setNameTag(int16_t index, const QString& name)
{
  m_nameTags.insert(index, name);
  // Kept apart, so that the question costs no text comparison at every value.
  if (index > 1 && (name == QLatin1String("capunit") || name == QLatin1String("cntrunit") ||
                    name == QLatin1String("pressunit")))
    m_infoSources.insert(index);
  else
    m_infoSources.remove(index);
}

ItemInfo frmTopic::info(int16_t index, bool texts) const
{
  ItemInfo in;
  in.item = itemName(index);
  in.name = m_nameTags.value(index);
  in.datatype = QStringLiteral("text");
  if (index == 0) {
    // The command item: takes a command, shows the last one's outcome.
    in.longName = QStringLiteral("Command");
    in.readable = in.writable = true;
  } else if (channel == 0) {
    // The error texts of the last failed read (P(1)) and write (P(2)).
    in.longName = index == 1 ? QStringLiteral("Last read error") : QStringLiteral("Last write error");
    in.readable = true;
  }
  const Database* db = m_s.db.get();
  if (!db || index <= 0 || channel == 0 || index >= int16_t(db->ParameterTable.size()))
    return in;
  const ParameterDef& d = db->ParameterTable[size_t(index)];
  in.longName = d.LongName;
  switch (d.VarType[0]) {
  case VarChar:
  case VarInteger:
  case VarLong: in.datatype = QStringLiteral("integer"); break;
  case VarFloat: in.datatype = QStringLiteral("float"); break;
  default: break;
  }
  in.hasRange = in.datatype != QLatin1String("text") && (d.Min != 0 || d.Max != 0);
  in.min = d.Min;
  in.max = d.Max;
  in.readable = d.Read;
  in.writable = d.Write;
  const ChannelRec* rec = m_s.channels.channel(channel);
  in.polled = d.Poll && rec && rec->Polling;
  auto valueOf = [&](const QString& name) {
    const int16_t p = numberOf(*db, name);
    return p > 0 && valued(p) ? item(p).trimmed() : QString();
  };
  if (index == db->ParNrMeasure || index == db->ParNrSetpoint) {
    // 32000 counts are 100 % of the instrument's capacity.
    in.unit = QStringLiteral("1/320 %");
    const QString capacity = valueOf(QStringLiteral("capacity"));
    if (!capacity.isEmpty())
      in.capacity = (number(capacity.toDouble()) + QLatin1Char(' ') + valueOf(QStringLiteral("capunit"))).trimmed();
  } else if (const auto u = unitItems().constFind(in.name); u != unitItems().constEnd()) {
    in.unit = valueOf(*u);
  }
  if (index == 1 && valued(1)) {
    const QString ident = item(1);
    if (!ident.isEmpty())
      in.deviceType = ident.at(0).unicode();
  }
  if (texts && db->isOpen()) {
    QSqlQuery q(db->TheDatabase);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT description FROM AllParameters WHERE Parameter = ?"));
    q.addBindValue(int(index));
    if (q.exec() && q.next())
      in.description = q.value(0).toString();
    q.prepare(QStringLiteral("SELECT Value, Description FROM ParValue WHERE Parameter = ? ORDER BY Value"));
    q.addBindValue(int(index));
    if (q.exec())
      while (q.next())
        in.values.append({q.value(0).toString(), q.value(1).toString()});
  }
  return in;
}

QString frmTopic::infoHeader()
{
  return QStringLiteral("Item\tName\tLongName\tUnit\tType\tMin\tMax\tAccess\tPolled");
}

QString frmTopic::infoTable() const
{
  QList<int16_t> indices;
  for (const QString& name : m_link.items(topicName)) {
    const int16_t i = parseIndex(name);
    if (i >= 0)
      indices.append(i);
  }
  std::sort(indices.begin(), indices.end());
  // Tabs and line ends inside a text would break the table: blanks instead.
  auto cell = [](QString t) {
    for (QChar& c : t)
      if (c.unicode() < 0x20)
        c = QLatin1Char(' ');
    return t;
  };
  QString out = infoHeader() + QStringLiteral("\r\n");
  for (int16_t i : indices) {
    const ItemInfo in = info(i);
    const QStringList row{in.item, cell(in.name), cell(in.longName), cell(in.unit), in.datatype,
                          in.hasRange ? number(in.min) : QString(), in.hasRange ? number(in.max) : QString(),
                          in.access(), in.polled ? QStringLiteral("Y") : QStringLiteral("N")};
    out += row.join(QLatin1Char('\t')) + QStringLiteral("\r\n");
  }
  return out;
}

void frmTopic::updateInfo()
{
  changing = true;
  if (!m_link.hasItem(topicName, infoItemName()))
    m_link.createItem(topicName, infoItemName(), infoTable());
  else
    m_link.setItem(topicName, infoItemName(), infoTable());
  changing = false;
}

int16_t frmTopic::parseIndex(const QString& item)
{
  // "P(" one to three digits ")", without a regular expression: every
  // value published on MQTT passes here.
  const qsizetype n = item.size();
  if (n < 4 || n > 6 || (item[0] != QLatin1Char('P') && item[0] != QLatin1Char('p')) ||
      item[1] != QLatin1Char('(') || item[n - 1] != QLatin1Char(')'))
    return -1;
  int v = 0;
  for (qsizetype i = 2; i < n - 1; ++i) {
    const char16_t c = item[i].unicode();
    if (c < u'0' || c > u'9')
      return -1;
    v = v * 10 + (c - u'0');
  }
  return v <= 512 ? int16_t(v) : int16_t(-1);
}

}
