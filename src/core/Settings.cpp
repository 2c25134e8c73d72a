#include "Settings.h"

#include "Server.h"
#include "clsGeneral.h"
#include "db/Database.h"

#include "Debug.h"
#include "Setting.h"

#include <QRegularExpression>
#include <cmath>

namespace tesmira {
namespace {

double toNumber(const QString& text, bool* ok)
{
  if (!IsNumeric(text)) {
    *ok = false;
    return 0;
  }
  *ok = true;
  return text.trimmed().toDouble();
}

// Reads one key and converts it; on a conversion error the debug component
// hears of it and target keeps its value.
template <typename T, typename Convert>
void loadKey(Server& s, const QString& section, const QString& key, const QString& def, T& target,
             Convert convert)
{
  const QString text = s.setting()->GetCommonSetting(section, key, def);
  bool ok = false;
  const T value = convert(text, &ok);
  if (ok) {
    target = value;
    return;
  }
  if (s.debug())
    s.debug()->LogMsg("Error", support::Debug::FormatError(13, QStringLiteral("Type mismatch: %1/%2 = '%3'")
                                                                   .arg(section, key, text),
                                                           "modSettings", "LoadPortSettings", "Tesmira"));
}

bool toBoolean(const QString& text, bool* ok) { return support::Setting::toBool(text, ok); }

void setField(Server& s, const char* name, const QString& text) { s.fields.set(QString::fromLatin1(name), text); }

// Applies a clamped poll setting; shared by the three setters. A number too
// large for a 32-bit integer ("1e20") cannot be taken as one: the setting
// falls back to its default instead (kept in memory, not saved).
bool applyPollSetting(Server& s, QString& field, int32_t& current, int32_t low, int32_t high, int32_t fallback,
                      const char* key, const char* column, const char* item)
{
  if (!IsNumeric(field))
    return false;
  bool ok = false;
  double v = std::nearbyint(field.trimmed().toDouble(&ok));
  if (v < -2147483648.0 || v > 2147483647.0) {
    const bool changed = current != fallback;
    current = fallback;
    field = QString::number(fallback);
    setField(s, item, field);
    return changed;
  }
  v = std::clamp(v, double(low), double(high));
  const int32_t value = int32_t(v);
  field = QString::number(value);
  if (value == current)
    return false;
  current = value;
  if (s.setting())
    s.setting()->SaveCommonSetting("Settings", QString::fromLatin1(key), field);
  if (s.db)
    s.db->WriteCommport({{QString::fromLatin1(column), value}});
  setField(s, item, field);
  return true;
}
}

bool IsNumeric(const QString& text)
{
  static const QRegularExpression re(QStringLiteral(
    R"(^\s*[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?\s*$)"));
  return re.match(text).hasMatch();
}

int32_t ToLong(const QString& text, bool* ok)
{
  double v = toNumber(text, ok);
  v = std::nearbyint(v);
  if (*ok && (v < -2147483648.0 || v > 2147483647.0))
    *ok = false;
  return *ok ? int32_t(v) : 0;
}

int16_t ToInteger(const QString& text, bool* ok)
{
  const double v = std::nearbyint(toNumber(text, ok));
  if (*ok && (v < -32768 || v > 32767))
    *ok = false;
  return *ok ? int16_t(v) : 0;
}

uint8_t ToByte(const QString& text, bool* ok)
{
  const double v = std::nearbyint(toNumber(text, ok));
  if (*ok && (v < 0 || v > 255))
    *ok = false;
  return *ok ? uint8_t(v) : 0;
}

int32_t PendingTimeoutFor(int32_t polltimeMs, int offsetSeconds)
{
  // nearbyint rounds to the even neighbour in the default rounding mode.
  return int32_t(std::nearbyint(polltimeMs / 1000.0 + offsetSeconds));
}

void LoadPortSettings(Server& s)
{
  Configuration& c = s.cfg;
  if (!s.settingsLoaded) {
    // Before the first load every variable is 0 or false; a key that cannot
    // be converted leaves it so (the corrections below still apply).
    c = Configuration{};
    c.InterfaceName.clear();
    c.Baudrate = 0;
    c.Arbitration = 0;
    c.ChainProcess = c.ChainParameter = false;
    c.SystemLNA = 0;
    c.PollParametersOnInit = c.SuppressCompatibilityErrors = c.HideAdvancedParameters = false;
    c.TrimTrailingSpaces = c.TrimCRLF = false;
    c.LogFormat = c.Polltime = c.PollBatch = c.RealtimePollTime = 0;
    s.settingsLoaded = true;
  }
  if (!s.setting())
    return;
  const auto text = [](const QString& t, bool* ok) {
    *ok = true;
    return t;
  };
  const QString comm = QStringLiteral("Communication");
  const QString set = QStringLiteral("Settings");
  loadKey(s, comm, "InterfaceName", "COM1", c.InterfaceName, text);
  loadKey(s, comm, "Baudrate", "38400", c.Baudrate, ToLong);
  loadKey(s, comm, "Arbitration", "67", c.Arbitration, ToByte);
  loadKey(s, comm, "ChainProcess", "True", c.ChainProcess, toBoolean);
  loadKey(s, comm, "ChainParameter", "True", c.ChainParameter, toBoolean);
  loadKey(s, comm, "AutoIncreaseBaudrate", "True", c.AutoIncreaseBaudrate, toBoolean);
  bool ok = false;
  const bool showAuto = support::Setting::toBool(
    s.setting()->GetProgramSetting("Options", "ShowAutoIncreaseBaudrate", "False"), &ok);
  c.AutoIncreaseBaudrate = c.AutoIncreaseBaudrate && ok && showAuto;
  loadKey(s, comm, "SystemLNA", "3", c.SystemLNA, ToByte);
  loadKey(s, comm, "ReopenAfterLoss", "True", c.ReopenAfterLoss, toBoolean);
  loadKey(s, set, "AllowPollUnavailableParameters", "False", c.AllowPollUnavailableParameters, toBoolean);
  loadKey(s, set, "AllowRemoveUnavailableParameters", "False", c.AllowRemoveUnavailableParameters, toBoolean);
  c.AllowRemoveUnavailableParameters = c.AllowRemoveUnavailableParameters || s.options.OptAllowRemove;
  loadKey(s, set, "RetryNetworkAccess", "0", c.RetryNetworkAccess, ToInteger);
  loadKey(s, set, "PollParametersOnInit", "True", c.PollParametersOnInit, toBoolean);
  loadKey(s, set, "IndirectPolling", "False", c.IndirectPolling, toBoolean);
  loadKey(s, set, "SuppressCompatibilityErrors", "True", c.SuppressCompatibilityErrors, toBoolean);
  loadKey(s, set, "HideAdvancedParameters", "True", c.HideAdvancedParameters, toBoolean);
  loadKey(s, set, "TrimTrailingSpaces", "True", c.TrimTrailingSpaces, toBoolean);
  loadKey(s, set, "TrimCRLF", "True", c.TrimCRLF, toBoolean);
  loadKey(s, set, "LogFormat", "3", c.LogFormat, ToLong);
  loadKey(s, set, "RemoveUnavailableParameters", "False", c.RemoveUnavailableParameters, toBoolean);
  c.RemoveUnavailableParameters = c.RemoveUnavailableParameters && c.AllowRemoveUnavailableParameters;
  loadKey(s, set, "PollUnavailableParameters", "False", c.PollUnavailableParameters, toBoolean);
  c.PollUnavailableParameters = c.PollUnavailableParameters && c.AllowPollUnavailableParameters;
  loadKey(s, set, "IgnoreDatabaseMinMax", "False", c.IgnoreDatabaseMinMax, toBoolean);
  loadKey(s, set, "ChangeMmTimer", "False", c.ChangeMmTimer, toBoolean);
  loadKey(s, set, "Polltime", "100", c.Polltime, ToLong);
  loadKey(s, set, "PollBatch", "10", c.PollBatch, ToLong);
  loadKey(s, set, "RealtimePollTime", "25", c.RealtimePollTime, ToLong);

  c.PendingTimeout = PendingTimeoutFor(c.Polltime, 10);
  if (c.Baudrate == 0)
    c.Baudrate = 38400;
  c.InterfaceName = c.InterfaceName.trimmed().left(InterfaceNameLength);
  if (c.InterfaceName.isEmpty())
    c.InterfaceName = QStringLiteral("COM1");
  if (c.Arbitration == 0)
    c.Arbitration = 67;

  setField(s, "PollTime", QString::number(c.Polltime));
  setField(s, "PollBatch", QString::number(c.PollBatch));
  setField(s, "RTPInterval", QString::number(c.RealtimePollTime));
  ShowInterfaceSettings(s);
  if (s.ApplyPortSettings)
    s.ApplyPortSettings();
}

bool SetPollTime(Server& s, QString& field)
{
  const bool changed = applyPollSetting(s, field, s.cfg.Polltime, 1, 10000, 100, "PollTime", "PollTime", "PollTime");
  if (changed)
    s.cfg.PendingTimeout = PendingTimeoutFor(s.cfg.Polltime, 15);
  return changed;
}

bool SetRealtimePollTime(Server& s, QString& field)
{
  return applyPollSetting(s, field, s.cfg.RealtimePollTime, 1, 10000, 25, "RealtimePollTime", "RTPInterval",
                          "RTPInterval");
}

bool SetPollBatch(Server& s, QString& field)
{
  return applyPollSetting(s, field, s.cfg.PollBatch, 1, 120, 10, "PollBatch", "PollBatch", "PollBatch");
}

void StoreCurrentSystemLNA(Server& s)
{
  if (s.setting())
    s.setting()->SaveCommonSetting("Communication", "SystemLNA", QString::number(s.cfg.SystemLNA));
  if (s.db)
    s.db->WriteCommport({{QStringLiteral("SystemLNA"), int(s.cfg.SystemLNA)}});
}

void ShowInterfaceSettings(Server& s)
{
  const QString name = s.cfg.InterfaceName.trimmed();
  if (!s.cfg.AutoIncreaseBaudrate || !s.state.CommOpen) {
    setField(s, "lblCommPort", name + "  " + QString::number(s.cfg.Baudrate) + ",n,8,1,-");
    setField(s, "Interface", name);
    setField(s, "Baudrate", QString::number(s.cfg.Baudrate));
  }
  bool portVisible = true;
  if (s.state.CommOpen && s.InterfaceDisplayOpen) {
    // The session knows the interface module; it fills caption and type.
    portVisible = s.InterfaceDisplayOpen();
  } else {
    setField(s, "Caption", s.ProgramTitle);
    setField(s, "lblInterfaceType", "not active");
  }
  s.view().setCommPortVisible(portVisible);
}

}
