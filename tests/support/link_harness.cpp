#include "tests/support/link_harness.h"

#include <algorithm>
#include <cstring>

namespace qx::test {

LinkHarness::LinkHarness(SimDeviceConfig config) {
    backend.AddDevice(std::move(config));
    device = backend.Device(1);
    link.key = device->Config().serialNumber;
    link.devicePath = backend.DevicePath(1);
    link.OpenDevice(0, false);
}

LinkHarness::~LinkHarness() { link.Close(); }

void LinkHarness::Tick(int count) {
    for (int i = 0; i < count; ++i) {
        const std::size_t before = device->ReceivedCount();
        link.ServiceTick();
        ++ticks;
        Record(before);
    }
}

void LinkHarness::Pass(int elapsed) {
    const std::size_t before = device->ReceivedCount();
    ticks += static_cast<int>(std::min<int64_t>(elapsed, due));
    due = link.ServicePass(elapsed);
    now = ticks;
    ++passes;
    Record(before);
}

// A report waiting in the device is news, as its descriptor tells the worker.
void LinkHarness::RunFor(int ms) {
    const int end = now + ms;
    for (;;) {
        const int64_t next = device->PendingInputCount() > 0 ? std::max(now - ticks, 1) : due;
        if (next == kNoPassDue || ticks + next > end) break;
        Pass(static_cast<int>(next));
    }
    now = end;
}

void LinkHarness::Close() {
    const std::size_t before = device->ReceivedCount();
    link.Close();
    Record(before);
}

void LinkHarness::News() { Pass(std::max(now - ticks, 1)); }

void LinkHarness::Record(std::size_t receivedBefore) {
    for (const auto& report : device->ReceivedSince(receivedBefore))
        sent.push_back({ticks, report.bytes});
}

std::shared_ptr<FakePortState> LinkHarness::AddPort(Channel channel, bool open) {
    auto port = std::make_unique<FakePort>();
    auto state = port->SharedState();
    state->SetOpen(open);
    std::lock_guard lock(link.portGuard);
    link.ports[channel].instance = std::move(port);
    return state;
}

std::vector<std::pair<int, int>> LinkHarness::Lines() const {
    std::vector<std::pair<int, int>> lines;
    for (const auto& report : sent)
        if (report.bytes[0] == kLineReportId) lines.emplace_back(report.tick, report.bytes[1]);
    return lines;
}

std::vector<std::pair<int, std::string>> LinkHarness::Commands() const {
    std::vector<std::pair<int, std::string>> commands;
    for (const auto& report : sent) {
        if (report.bytes[0] != kCommandReportId) continue;
        const char* text = reinterpret_cast<const char*>(report.bytes.data() + 1);
        commands.emplace_back(report.tick, std::string(text, strnlen(text, 63)));
    }
    return commands;
}

std::vector<SentReport> LinkHarness::DataReports(int reportId) const {
    std::vector<SentReport> reports;
    for (const auto& report : sent)
        if (report.bytes[0] == reportId) reports.push_back(report);
    return reports;
}

std::string LinkHarness::PayloadOf(const SentReport& report) const {
    return std::string(reinterpret_cast<const char*>(report.bytes.data() + 2), report.bytes[1]);
}

SimDeviceConfig SilentDevice() {
    SimDeviceConfig config;
    config.answersCommands = false;
    return config;
}

}  // namespace qx::test
