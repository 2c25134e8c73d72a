// Parameter definitions of the device types, as the virtual bus needs them:
// which parameters a module of a type has, at which bus address, with which
// value type, access and range. Read from the server's SQLite database
// (opened read-only), or from a small built-in table when no database exists.
#pragma once

#include <QMap>
#include <QSet>
#include <QString>
#include <QVariant>
#include <QVector>

namespace soranetsim {

struct ParamRow {
    int number = 0;        // the server's parameter number
    QString name;          // trimmed
    int process = -1;      // -1: the channel's own process
    int fb = 0;            // parameter number on the bus
    uint8_t type = 0;      // 0 byte, 1 int, 2 float, 3 long, 4 string
    int length = 0;        // strings
    double min = 0, max = 0;
    bool hasRange = false;
    bool read = true, write = false;
    QVariant deflt;
};

struct DeviceType {
    int id = 0;
    QString code;
    int channels = 1;
    QSet<QString> params;  // names of the parameters the type offers (lower case)
};

struct ParamDb {
    QVector<ParamRow> params;
    QMap<int, DeviceType> types;
    QString source;        // file path, or "built-in"

    // Reads the two tables; returns an error text, empty on success.
    QString load(const QString &path);
    static ParamDb builtin();
    // The database beside the running program, or $TESMIRA_SIM_DB, or empty.
    static QString defaultPath();
};

} // namespace soranetsim
