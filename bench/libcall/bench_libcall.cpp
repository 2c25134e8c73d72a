// Cost of one library call against the in-process virtual bus with pacing
// off: queueing a read, and taking a reply (CheckReceivedMsg, GetStatus,
// GetInt, RemoveMsg, each timed on its own). Prints medians in microseconds.
#include "sora32.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace sora32;
using Clock = std::chrono::steady_clock;

static double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

int main(int argc, char **argv)
{
    qputenv("TESMIRA_SIM_PACING", "0");
    QCoreApplication app(argc, argv);
    const int16_t id = OpenDLL(0);
    ConfigureChaining(true, true);
    if (OpenCommunication("SIM") > 24) { std::printf("cannot open SIM\n"); return 1; }
    std::vector<double> queueUs, takeUs;
    for (int round = 0; round < 20; ++round) {
        for (int k = 0; k < 500; ++k) {
            const auto a = Clock::now();
            ReadInt(id, 0, 3, 1, 0, int16_t(k + 1));
            const auto b = Clock::now();
            queueUs.push_back(std::chrono::duration<double, std::micro>(b - a).count());
        }
        int got = 0;
        while (got < 500) {
            uint8_t node, proc, param, kind, type, status; int16_t tag = 0, tg; int16_t v;
            auto a = Clock::now();
            const int16_t rc = CheckReceivedMsg(id, node, proc, param, kind, type, tag);
            auto b = Clock::now();
            if (rc == 30) { QThread::usleep(100); continue; }
            takeUs.push_back(std::chrono::duration<double, std::micro>(b - a).count());
            a = Clock::now(); GetStatus(id, node, proc, param, status, tg); b = Clock::now();
            takeUs.push_back(std::chrono::duration<double, std::micro>(b - a).count());
            a = Clock::now(); GetInt(id, node, proc, param, v, tg); b = Clock::now();
            takeUs.push_back(std::chrono::duration<double, std::micro>(b - a).count());
            a = Clock::now(); RemoveMsg(id, node, proc, param); b = Clock::now();
            takeUs.push_back(std::chrono::duration<double, std::micro>(b - a).count());
            ++got;
        }
    }
    std::printf("queue a read:      median %.3f us over %zu calls\n", median(queueUs), queueUs.size());
    std::printf("take-reply calls:  median %.3f us over %zu calls\n", median(takeUs), takeUs.size());
    CloseCommunication();
    CloseDLL(id);
    return 0;
}
