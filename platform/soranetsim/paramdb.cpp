#include "paramdb.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QAtomicInt>

namespace soranetsim {

static uint8_t typeCode(const QString &varType, int length)
{
    const QString t = varType.trimmed().toLower();
    if (t == "i") return 1;
    if (t == "f") return 2;
    if (t == "l") return 3;
    // 'c': a byte, or a string when it has a length (-2: of variable length)
    return length > 0 || length == -2 ? 4 : 0;
}

QString ParamDb::load(const QString &path)
{
    if (!QFileInfo::exists(path))
        return QStringLiteral("Parameter database not found: %1").arg(path);
    static QAtomicInt counter;
    const QString conn = QStringLiteral("soranetsim-%1").arg(counter.fetchAndAddRelaxed(1));
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), conn);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (!db.open()) {
            error = QStringLiteral("Cannot open %1: %2").arg(path, db.lastError().text());
        } else {
            QSqlQuery q(db);
            if (!q.exec(QStringLiteral(
                    "SELECT Parameter, Name, Process, FBnr, VarType, VarLength, \"Default\", "
                    "Min, Max, Read, Write FROM AllParameters"))) {
                error = QStringLiteral("Cannot read AllParameters: %1").arg(q.lastError().text());
            } else {
                while (q.next()) {
                    ParamRow r;
                    r.number = q.value(0).toInt();
                    r.name = q.value(1).toString().trimmed();
                    r.process = q.value(2).isNull() ? -1 : q.value(2).toInt();
                    if (q.value(3).isNull()) continue;    // no bus address
                    r.fb = q.value(3).toInt();
                    const int varLength = q.value(5).toInt();
                    r.type = typeCode(q.value(4).toString(), varLength);
                    r.length = varLength > 0 ? varLength : 0;
                    r.deflt = q.value(6);
                    r.hasRange = !q.value(7).isNull() && !q.value(8).isNull();
                    r.min = q.value(7).toDouble();
                    r.max = q.value(8).toDouble();
                    r.read = q.value(9).toInt() != 0;
                    r.write = q.value(10).toInt() != 0;
                    if (r.fb < 0 || r.fb > 255 || r.process > 255) continue;
                    params.push_back(r);
                }
            }
            QSqlQuery d(db);
            if (error.isEmpty() && !d.exec(QStringLiteral("SELECT * FROM FlowDevices"))) {
                error = QStringLiteral("Cannot read FlowDevices: %1").arg(d.lastError().text());
            } else if (error.isEmpty()) {
                const QSqlRecord rec = d.record();
                const int identCol = rec.indexOf(QStringLiteral("IDENTSTRNG"));
                while (d.next()) {
                    DeviceType t;
                    t.id = d.value(QStringLiteral("ID")).toString().trimmed().toInt();
                    t.code = d.value(QStringLiteral("DEV_TYPE")).toString().trimmed();
                    const QVariant ch = d.value(QStringLiteral("Dev_Channels"));
                    t.channels = ch.isNull() || ch.toInt() <= 0 ? 1 : ch.toInt();
                    for (int c = identCol < 0 ? rec.count() : identCol; c < rec.count(); ++c)
                        if (d.value(c).toInt() != 0)
                            t.params.insert(rec.fieldName(c).trimmed().toLower());
                    if (t.id > 0) types.insert(t.id, t);
                }
            }
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(conn);
    if (error.isEmpty()) source = path;
    return error;
}

QString ParamDb::defaultPath()
{
    const QByteArray env = qgetenv("TESMIRA_SIM_DB");
    if (!env.isEmpty()) return QString::fromLocal8Bit(env);
    if (QCoreApplication::instance()) {
        // Beside the program in the build tree, share/tesmira/ once installed.
        const QString dir = QCoreApplication::applicationDirPath();
        for (const QString &p : {dir + QStringLiteral("/Tesmira.mdb"), dir + QStringLiteral("/../share/tesmira/Tesmira.mdb")})
            if (QFileInfo::exists(p)) return QFileInfo(p).canonicalFilePath();
    }
    const QByteArray bin = qgetenv("TESMIRA_BIN_DIR");
    if (!bin.isEmpty()) {
        const QString p = QString::fromLocal8Bit(bin) + QStringLiteral("/Tesmira.mdb");
        if (QFileInfo::exists(p)) return p;
    }
    return {};
}

// A minimal parameter set so that the virtual bus is usable without any
// database: ident, measure, setpoint, valve output, alarm, capacity, fluid.
ParamDb ParamDb::builtin()
{
    ParamDb db;
    db.source = QStringLiteral("built-in");
    auto add = [&](int nr, const char *name, int proc, int fb, uint8_t type, int len,
                   bool rd, bool wr, double mn, double mx, QVariant def) {
        ParamRow r;
        r.number = nr; r.name = QString::fromLatin1(name); r.process = proc; r.fb = fb;
        r.type = type; r.length = len; r.read = rd; r.write = wr;
        r.hasRange = mx > mn; r.min = mn; r.max = mx; r.deflt = def;
        db.params.push_back(r);
    };
    add(1, "IDENTSTRNG", 0, 28, 4, 20, true, true, 0, 0, QString());
    add(8, "measure", -1, 0, 1, 0, true, false, -23593, 41942, 0);
    add(9, "setpoint", -1, 1, 1, 0, true, true, 0, 32000, 0);
    add(11, "fsetpoint", -1, 5, 2, 0, true, true, 0, 1e6, 0.0);
    add(12, "valve out", -1, 2, 3, 0, true, false, 0, 16777215, 0);
    add(28, "alarm info", -1, 3, 0, 0, true, false, 0, 255, 0);
    add(21, "capacity", 33, 13, 2, 0, true, true, 0, 1e5, 100.0);
    add(25, "fluidname", 33, 17, 4, 10, true, true, 0, 0, QStringLiteral("AIR"));
    add(40, "counter", 33, 8, 3, 0, true, true, 0, 2147483647.0, 0);
    const char *codes[] = {"", "IF-RS", "IF-RS2", "FMETER", "FCTRL", "PMETER", "PCTRL", "MULTI", "VALVE"};
    for (int id = 1; id <= 8; ++id) {
        DeviceType t;
        t.id = id; t.code = QString::fromLatin1(codes[id]);
        t.params = {QStringLiteral("identstrng")};
        if (id >= 3)
            t.params += {QStringLiteral("measure"), QStringLiteral("setpoint"), QStringLiteral("fsetpoint"),
                         QStringLiteral("valve out"), QStringLiteral("alarm info"), QStringLiteral("capacity"),
                         QStringLiteral("fluidname"), QStringLiteral("counter")};
        db.types.insert(id, t);
    }
    return db;
}

} // namespace soranetsim
