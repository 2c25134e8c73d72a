#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace ddeml {
class Server;
}

namespace tesmira {

class Server;

// Why the server does not poll the bus now: "the communication is closed",
// "the server is not ready (the bus is being scanned)", "the communication
// to SORANET is lost (...)"; empty while it polls (or simulates).
QString whyNotPolling(const Server& s);

// Topic or item names in the order people read them: C(2) before C(10).
QStringList inReadingOrder(QStringList names);

// The server's health in the Prometheus text format (version 0.0.4): bus
// state and counters, clients, and one gauge per numeric value of a channel
// topic's item. values: item values published since start; valuesPerSecond:
// in the last second.
QByteArray metricsText(const Server& s, const ddeml::Server& link, quint64 values, double valuesPerSecond,
                       int liveClients);

}
