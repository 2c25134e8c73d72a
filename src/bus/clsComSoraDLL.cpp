#include "clsComSoraDLL.h"

#include "core/Settings.h"

#include "Debug.h"
#include "sora32.h"

#include <cmath>
#include <exception>

namespace tesmira {
namespace {
constexpr int16_t kUnexpected = 32767;

// Runs an operation; anything unexpected becomes 32767 and a debug entry.
template <typename F>
int16_t guarded(support::Debug* debug, const char* procedure, F&& f)
{
  try {
    return f();
  } catch (const std::exception& e) {
    if (debug)
      debug->LogMsg("Error", support::Debug::FormatError(kUnexpected, QString::fromLocal8Bit(e.what()),
                                                         "clsComSoraDLL", procedure, "Tesmira"));
    return kUnexpected;
  }
}

bool numericValue(const QVariant& value, double& out)
{
  switch (value.typeId()) {
  case QMetaType::Int:
  case QMetaType::UInt:
  case QMetaType::LongLong:
  case QMetaType::ULongLong:
  case QMetaType::Double:
  case QMetaType::Float:
  case QMetaType::Short:
  case QMetaType::UShort:
  case QMetaType::UChar:
  case QMetaType::Char:
    out = value.toDouble();
    return true;
  default:
    break;
  }
  const QString text = value.toString();
  if (!IsNumeric(text))
    return false;
  out = text.trimmed().toDouble();
  return true;
}
}

clsComSoraDLL::clsComSoraDLL() { m_appId = sora32::OpenDLL(0); }

clsComSoraDLL::~clsComSoraDLL()
{
  if (m_appId >= 0)
    sora32::CloseDLL(m_appId);
  if (m_debug)
    m_debug->LogClassTerm("clsComSoraDLL");
}

QString clsComSoraDLL::ClassInitialize(support::Debug* debug)
{
  m_debug = debug;
  if (m_debug)
    m_debug->LogClassInit("clsComSoraDLL");
  return {};
}

int16_t clsComSoraDLL::StartCommunication()
{
  return guarded(m_debug, "StartCommunication",
                 [&] { return sora32::OpenCommunication(m_interfaceName.toStdString()); });
}

int16_t clsComSoraDLL::StopCommunication()
{
  return guarded(m_debug, "StopCommunication", [] { return sora32::CloseCommunication(); });
}

bool clsComSoraDLL::BaudCode(int32_t rate, int16_t& code)
{
  switch (rate) {
  case 300: case 600: case 1200: case 2400: case 4800: case 9600: case 19200:
    code = int16_t(rate);
    return true;
  case 38400: case 57600:
    code = int16_t(rate - 65536);
    return true;
  case 115200: code = 1; return true;
  case 128000: code = 2; return true;
  case 153600: code = 3; return true;
  case 230400: code = 4; return true;
  case 256000: code = 5; return true;
  case 460800: code = 6; return true;
  default:
    return false;
  }
}

int16_t clsComSoraDLL::ConfigureCommunication(const QString& interfaceName, int32_t rate, bool processChaining,
                                              bool parameterChaining, QString& error)
{
  return guarded(m_debug, "ConfigureCommunication", [&]() -> int16_t {
    error.clear();
    m_interfaceName = interfaceName;
    const std::string name = interfaceName.toStdString();
    sora32::ConfigureChaining(processChaining, parameterChaining);
    uint8_t b[7] = {};
    std::string current;
    sora32::GetTNetConfig(b[0], b[1], b[2], b[3], b[4], b[5], b[6], current);
    if (m_arbiterMode != 0)
      b[4] = m_arbiterMode;
    int16_t r = sora32::ConfigureTNet(b[0], b[1], b[2], b[3], b[4], b[5], b[6], name);
    if (r != 0) {
      error = "SORANET cannot be configured for " + interfaceName + ".";
      return r;
    }
    int16_t code = 0;
    if (!BaudCode(rate, code)) {
      error = "Baudrate not supported.";
      return r;
    }
    r = sora32::ConfigureRS232(name, code);
    if (r != 0)
      error = "Baudrate cannot be set for " + interfaceName + ".";
    return r;
  });
}

int16_t clsComSoraDLL::SendMessageReadRequest(uint8_t node, uint8_t process, uint8_t parameter, uint8_t type,
                                              uint8_t length, int16_t tag)
{
  return guarded(m_debug, "SendMessageReadRequest", [&]() -> int16_t {
    switch (type) {
    case 0: return sora32::ReadChar(m_appId, 0, node, process, parameter, tag);
    case 1: return sora32::ReadInt(m_appId, 0, node, process, parameter, tag);
    case 2: return sora32::ReadFloat(m_appId, 0, node, process, parameter, tag);
    case 3: return sora32::ReadLong(m_appId, 0, node, process, parameter, tag);
    case 4: return sora32::ReadString(m_appId, 0, node, process, parameter, length, tag);
    default: return 38;
    }
  });
}

int16_t clsComSoraDLL::PrepareWriteValue(uint8_t type, uint8_t length, const QVariant& value, QVariant& out)
{
  if (type <= 3) {
    double v = 0;
    if (!numericValue(value, v))
      return 5;
    if (type == 2) {
      out = float(v);
      return 0;
    }
    v = std::nearbyint(v);
    const double low = type == 0 ? 0 : type == 1 ? -32768 : -2147483648.0;
    const double high = type == 0 ? 255 : type == 1 ? 32767 : 2147483647.0;
    if (v < low || v > high)
      return 6;
    out = qint64(v);
    return 0;
  }
  if (type == 4) {
    QString text = value.toString();
    if (text.isEmpty())
      text = " ";
    if (length != 0 && text.size() < length)
      text = text.leftJustified(length, ' ');
    out = text;
    return 0;
  }
  return 38;
}

int16_t clsComSoraDLL::SendMessageWriteRequest(uint8_t node, uint8_t process, uint8_t parameter, uint8_t type,
                                               uint8_t length, const QVariant& value, int16_t tag)
{
  return guarded(m_debug, "SendMessageWriteRequest", [&]() -> int16_t {
    QVariant v;
    const int16_t r = PrepareWriteValue(type, length, value, v);
    if (r != 0)
      return r;
    switch (type) {
    case 0: return sora32::WriteChar(m_appId, 0, node, process, parameter, uint8_t(v.toLongLong()), tag);
    case 1: return sora32::WriteInt(m_appId, 0, node, process, parameter, int16_t(v.toLongLong()), tag);
    case 2: return sora32::WriteFloat(m_appId, 0, node, process, parameter, v.toFloat(), tag);
    case 3: return sora32::WriteLong(m_appId, 0, node, process, parameter, int32_t(v.toLongLong()), tag);
    default: {
      // The library sends the text up to its NUL.
      const QByteArray bytes = v.toString().toLatin1();
      return sora32::WriteString(m_appId, 0, node, process, parameter, length,
                                 std::string(bytes.constData(), size_t(bytes.size())), tag);
    }
    }
  });
}

int16_t clsComSoraDLL::CheckMessageReceived(uint8_t& kind, uint8_t& status, uint8_t& node, uint8_t& process,
                                            uint8_t& parameter, uint8_t& type, uint8_t& length, QVariant& value,
                                            int16_t& tag)
{
  return guarded(m_debug, "CheckMessageReceived", [&]() -> int16_t {
    int16_t r = sora32::GetError();
    if (r != 0)
      return r;
    r = sora32::CheckReceivedMsg(m_appId, node, process, parameter, kind, type, tag);
    if (r != 0)
      return r;
    r = sora32::GetError();
    if (r == 0) {
      r = sora32::GetStatus(m_appId, node, process, parameter, status, tag);
      if (r == 0 && status == 0) {
        if (kind == 1) {
          switch (type) {
          case 0: {
            uint8_t v = 0;
            r = sora32::GetChar(m_appId, node, process, parameter, v, tag);
            value = int(v);
            break;
          }
          case 1: {
            int16_t v = 0;
            r = sora32::GetInt(m_appId, node, process, parameter, v, tag);
            value = int(v);
            break;
          }
          case 2: {
            float v = 0;
            r = sora32::GetFloat(m_appId, node, process, parameter, v, tag);
            value = v;
            break;
          }
          case 3: {
            int32_t v = 0;
            r = sora32::GetLong(m_appId, node, process, parameter, v, tag);
            value = int(v);
            break;
          }
          case 4: {
            std::string text;
            int16_t len = 0;
            r = sora32::GetString(m_appId, node, process, parameter, tag, text, len);
            value = QString::fromLatin1(text.data(), std::min<int>(len, int(text.size())));
            length = uint8_t(std::min<int>(len, 255));
            break;
          }
          default:
            r = 12;
          }
        } else if (kind != 0) {
          r = 2;
        }
      }
    }
    sora32::RemoveMsg(m_appId, node, process, parameter);
    return r;
  });
}

}
