#include "bench/support/rig.h"

#include <dirent.h>
#include <sys/stat.h>
#include <time.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "manager/config_store.h"
#include "platform/ports_directory.h"
#include "platform/private_profile.h"
#include "vsp/pty_port.h"

namespace qx::bench {

Rig::Rig() {
    LocateIniFile();
    portsDir_ = home_.Root() + "/ports";
    ::mkdir(portsDir_.c_str(), 0700);
    auto made = MakePtyPortClass(portsDir_);
    if (!made) {
        std::fprintf(stderr, "pseudo-terminal ports are not available: %s\n",
                     made.error().message.c_str());
        std::exit(1);
    }
    portClass_ = std::move(*made);
    settings_.Load();
    manager_ = std::make_unique<CHVInterfaceManager>(backend_, *portClass_, settings_);
    manager_->RegisterNotifications();
}

// The manager goes first: its links stop ticking before the devices and ports they use go.
Rig::~Rig() { manager_.reset(); }

bool Rig::AddInterfaces(int count) {
    // Data a benchmark sends on WinKey is counted at the device, not echoed back into its own
    // stream of device-to-program data.
    SimDeviceConfig config;
    config.echoWinKey = false;
    // The benchmarks look only at recent reports; a short history keeps the simulators' own
    // memory out of the figures of the core.
    config.recordLimit = 4096;
    for (int i = 0; i < count; ++i) {
        const int number = backend_.AddDevice(config, false);
        for (Channel channel : kAllChannels) {
            static const char* const kKeys[kChannelCount] = {"PortCat", "PortPttCw", "PortFsk",
                                                             "PortWinKey"};
            WritePrivateProfileString("Interface-" + SimSerialNumber(number), kKeys[channel],
                                      std::to_string(PortNumberOf(number, channel)), ProfileFile());
        }
        backend_.Plug(number);
    }
    manager_->HandleDeviceNotices();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!LinksStarted()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return manager_->Count() == backend_.Count();
}

bool Rig::LinksStarted() const {
    for (const auto& link : manager_->list)
        if (link->VersionText().empty()) return false;
    return true;
}

std::string Rig::PortPath(int device, Channel channel) const {
    return qx::PortPath(portsDir_, PortNumberOf(device, channel));
}

CHVInterface* Rig::LinkOf(int device) {
    for (const auto& link : manager_->list)
        if (link->key == SimSerialNumber(device)) return link.get();
    return nullptr;
}

IVSPortAx* Rig::Port(int device, Channel channel) {
    CHVInterface* link = LinkOf(device);
    return link ? link->ports[channel].instance.get() : nullptr;
}

bool Rig::WaitPortOpen(int device, Channel channel, std::chrono::milliseconds timeout, bool open) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        IVSPortAx* port = Port(device, channel);
        if (port && port->IsOpen().value_or(false) == open) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::string RecordWriter::Next(std::size_t count) {
    std::string text;
    text.reserve(count);
    char record[kRecordSize + 1];
    while (text.size() < count) {
        std::snprintf(record, sizeof record, "%09llu\n",
                      static_cast<unsigned long long>(next_++ % 1000000000));
        text.append(record, kRecordSize);
    }
    return text;
}

void RecordReader::Take(const char* data, std::size_t count) {
    bytes += count;
    for (std::size_t i = 0; i < count; ++i) {
        if (!aligned_) {
            aligned_ = data[i] == '\n';
            continue;
        }
        partial_ += data[i];
        if (partial_.size() == RecordWriter::kRecordSize) TakeRecord();
    }
}

void RecordReader::TakeRecord() {
    const std::string record = std::exchange(partial_, std::string());
    bool wellFormed = record.back() == '\n';
    for (std::size_t i = 0; i + 1 < record.size(); ++i)
        wellFormed = wellFormed && std::isdigit(static_cast<unsigned char>(record[i]));
    if (!wellFormed) {
        // Bytes went missing inside a record: count it, and start the next record after the
        // newline that ends this damaged one. The gap is counted when the numbers resume.
        if (inStep_) ++damagedRecords;
        const auto newline = record.find('\n');
        if (newline != std::string::npos)
            partial_ = record.substr(newline + 1);
        else
            aligned_ = false;
        return;
    }
    const uint64_t number = std::stoull(record);
    if (inStep_ && number > expected_)
        lostBytes += (number - expected_) * RecordWriter::kRecordSize;
    if (inStep_ && number < expected_) ++reorderings;
    expected_ = number + 1;
    inStep_ = true;
}

void RecordReader::Resynchronize() {
    partial_.clear();
    aligned_ = false;
    inStep_ = false;
}

ProcessFigures ReadProcessFigures() {
    ProcessFigures figures;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) figures.rssKb = std::atol(line.c_str() + 6);
        if (line.rfind("VmHWM:", 0) == 0) figures.hwmKb = std::atol(line.c_str() + 6);
    }
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') ++figures.fds;
        ::closedir(dir);
        --figures.fds;  // the directory's own descriptor
    }
    return figures;
}

double ProcessCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

uint64_t ProcessWakeups() {
    uint64_t switches = 0;
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks) return 0;
    while (const dirent* task = ::readdir(tasks)) {
        if (task->d_name[0] == '.') continue;
        std::ifstream status(std::string("/proc/self/task/") + task->d_name + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.find("ctxt_switches:") != std::string::npos)
                switches += std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
    }
    ::closedir(tasks);
    return switches;
}

}  // namespace qx::bench
