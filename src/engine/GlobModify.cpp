#include "GlobModify.h"

#include "MessageEngine.h"

#include "bus/clsComSoraDLL.h"
#include "core/Server.h"
#include "db/Database.h"
#include "dde/DdeServer.h"

#include "Debug.h"

#include <QCoreApplication>
#include <QVariant>

namespace tesmira {
namespace {

// One byte of a process read directly; false when the read failed.
bool readByte(Server& s, uint8_t node, uint8_t process, int& value)
{
  QVariant v;
  if (s.engine->read_direct(v, node, process, 19, 0, 1) != 0)
    return false;
  value = v.toInt();
  return true;
}

bool readable(const Server& s, const ParameterDef& d) { return d.Read || s.cfg.IgnoreDatabaseMinMax; }

// The DDE parameter at bus parameter fb of process p that the channel
// offers: first among those defined for process p, then among those of the
// channel's own process. 0 when there is none.
int16_t parameterAt(const Server& s, int16_t ch, int fb, int p)
{
  const auto& table = s.db->ParameterTable;
  const int last = std::min<int>(s.db->MaxParNr, int(table.size()) - 1);
  for (int process : {p, 255})
    for (int n = 1; n <= last; ++n)
      if (table[size_t(n)].FBnr == fb && table[size_t(n)].Process == process && s.channels.available(ch, n))
        return int16_t(n);
  return 0;
}

// Process after p in the full range 1..125: the first process of each block
// of 32 (1, 33, 65, 97), then 104..125.
int nextProcess(int p)
{
  if (p >= 1 && p <= 96)
    return std::min(p + 32, 97);
  return p == 97 ? 104 : p + 1;
}

}

void HandleGlobModify(Server& s)
{
  support::Trace t(s.debug(), "modPolling", "HandleGlobModify");
  if (!s.engine || !s.db || !s.session || !s.dde)
    return;
  const ChannelModel& cm = s.channels;
  const Database& db = *s.db;
  const uint8_t ifNode = uint8_t(s.state.InterfaceNode);

  int sel = 255;
  if (cm.AllChannelsModifiable && s.state.InterfaceAcquisition) {
    int changed = 0;
    if (readByte(s, ifNode, 0, changed)) {
      if (changed == 0)
        return;
      sel = changed;
    }
  }
  int first = 1, last = cm.MaxChannel;
  if (sel >= 1 && sel <= 254 && sel <= cm.MaxChannel)
    first = last = sel;
  else if (sel != 255)
    return;

  int previousNode = 0;
  for (int16_t ch = int16_t(first); ch <= last; ++ch) {
    QCoreApplication::processEvents();
    if (s.state.bExtendPolling > 0)
      return;
    const ChannelRec* rec = cm.channel(ch);
    if (!rec || ch >= int16_t(cm.ChanNodeProc.size()))
      continue;
    const uint8_t node = uint8_t(cm.ChanNodeProc[size_t(ch)][0]);
    if (!cm.available(ch, db.ParNrGlobModify) || !rec->Polling || !rec->ModulePresent ||
        (cm.AllChannelsModifiable && cm.MaxChannel != 1 && node == previousNode))
      continue;
    int pm = rec->Dev_Proc;

    // The module's indication: the process that changed, 255 for several.
    QString indication = QStringLiteral("?");
    if (rec->Modify) {
      indication = s.engine->Read_from_Soranet_direct(node, uint8_t(pm), ch, db.ParNrGlobModify);
      if (indication == QLatin1String("?") || indication.trimmed() == QLatin1String("0")) {
        int v = 0;
        indication = readByte(s, node, 0, v) ? QString::number(v) : QStringLiteral("255");
      }
    }
    if (indication != QLatin1String("?") && indication != QLatin1String("0")) {
      pm = int(MessageEngine::NumericValue(indication)) & 0xFF;
      if (rec->ModulePresent) {
        int16_t tag = 0;
        if (rec->Dev_ID != 1 && rec->Dev_ID != 2)
          s.engine->Write_to_Soranet(node, 0, ch, db.ParNrGlobModify, QStringLiteral("0"), tag);
        s.session->SendMessageReadRequest(ifNode, uint8_t(ch), 19, 0, 0, s.dde->MakeRequestTag(0));
      }
    }
    if (pm == 0)
      return;
    const int lastProcess = pm == 255 ? 125 : pm;
    for (int p = pm == 255 ? 1 : pm; p <= lastProcess; p = nextProcess(p)) {
      QCoreApplication::processEvents();
      if (s.state.bExtendPolling > 0)
        break;
      // The number of the parameter last changed in process p.
      int fb = 0;
      const QString text = s.engine->Read_from_Soranet_direct(node, uint8_t(p), ch, 27);
      if (text == QLatin1String("?")) {
        if (!readByte(s, node, uint8_t(p), fb))
          fb = 0;
      } else {
        fb = int(MessageEngine::NumericValue(text)) & 0xFF;
      }
      if (fb >= 1 && fb <= 254) {
        const int16_t n = parameterAt(s, ch, fb, p);
        if (n != 0) {
          const ParameterDef& d = db.ParameterTable[size_t(n)];
          const int process = d.Process == 255 ? p : d.Process;
          int16_t tag = 0;
          if (readable(s, d) && process == p && !d.Poll)
            s.engine->Read_from_Soranet(node, rec->Dev_Proc, ch, n, tag);
        }
      } else if (fb == 255) {
        for (int16_t n = 1; n <= db.MaxParNr && n < int16_t(db.ParameterTable.size()); ++n) {
          const ParameterDef& d = db.ParameterTable[size_t(n)];
          if (!readable(s, d) || !cm.available(ch, n))
            continue;
          const int process = d.Process < 255 || p >= 113 ? d.Process : p;
          if (process == p && !d.Poll)
            s.engine->Read_from_Soranet_direct(node, rec->Dev_Proc, ch, n);
        }
      }
      if (fb != 0 && rec->ModulePresent)
        s.session->SendMessageWriteRequest(node, uint8_t(p), 19, 0, 0, QVariant(0), s.dde->MakeRequestTag(0));
      if (rec->Dev_ID == 3 || rec->Dev_ID == 4 || rec->Dev_ID == 5 || rec->Dev_ID == 19)
        break;
    }
    if (cm.AllChannelsModifiable)
      previousNode = node;
  }
}

}
