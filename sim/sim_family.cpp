#include "sim_family.h"

#include "frame_codec.h"
#include "port_catalog.h"
#include "sim_port_catalog.h"
#include "sim_priority.h"
#include "sim_protocol.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

using namespace SimProtocol;

SimFamilyOptions SimFamilyOptions::Standard()
{
    SimFamilyOptions options;
    options.devices = {
        {kBaseId, "BASE-HW-A-REV-0003", {2, 1, 0, 7}, SimMode::App},
        {1, "DEV1-HW-A", {1, 4, 0, 2}, SimMode::App},
        {kMotorId, "MOTOR-HW-A", {3, 0, 1, 0}, SimMode::App},
        {kDisplayId, "METER-HW-A", {1, 1, 0, 5}, SimMode::App},
        {5, "DEV5-HW-A", {5, 2, 0, 1}, SimMode::App},
    };
    return options;
}

SimFamily::SimFamily(const SimFamilyOptions &opts)
    : options(opts), rng(opts.faults.seed), started(std::chrono::steady_clock::now())
{
    if (options.vendor_id == 0)
        options.vendor_id = FamilyVendorId();
    if (options.location.isEmpty()) {
        static std::atomic<int> families_made{0};
        options.location = QStringLiteral("sim-%1").arg(++families_made);
    }
    if (options.serial_number.isEmpty())
        options.serial_number = QStringLiteral("SN-") + options.location.toUpper();
    for (const SimDeviceSpec &device : options.devices)
        devices[device.id] = std::make_unique<SimDevice>(device);
    FrameCodec::ResetDecoder(parser);
    if (pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0)
        wake_pipe[0] = wake_pipe[1] = -1;
    SimPortCatalog::Install();
    {
        std::lock_guard<std::mutex> lock(mutex);
        Publish();
    }
    thread = std::thread(&SimFamily::Run, this);
}

SimFamily::~SimFamily()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        quit = true;
    }
    Wake();
    thread.join();
    std::lock_guard<std::mutex> lock(mutex);
    Withdraw();
    spare.reset();
    for (int fd : wake_pipe) {
        if (fd >= 0)
            ::close(fd);
    }
}

// --- Thread ---------------------------------------------------------------------------------

void SimFamily::Run()
{
    SimPriority::RaiseCallingThreadIfAsked();
    std::unique_lock<std::mutex> lock(mutex);
    while (!quit) {
        int timeout_ms = -1;
        if (!events.empty())
            timeout_ms = int(std::max<qint64>(0, (events.begin()->first - NowUs() + 999) / 1000));
        pollfd fds[2] = {{wake_pipe[0], POLLIN, 0}, {-1, 0, 0}};
        nfds_t count = 1;
        if (pty) {
            fds[1] = {pty->MasterFd(), short(POLLIN | (to_host.isEmpty() ? 0 : POLLOUT)), 0};
            count = 2;
        }
        lock.unlock();
        ::poll(fds, count, timeout_ms);
        lock.lock();
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(wake_pipe[0], drain, sizeof drain) > 0) {
            }
        }
        if (count == 2 && pty && pty->MasterFd() == fds[1].fd && (fds[1].revents & POLLIN))
            ReadHost();
        else if (memory)
            ReadHost();  // the host's writes wake the pipe
        RunDueEvents();
        WriteHost();
    }
}

void SimFamily::Wake()
{
    if (wake_pipe[1] >= 0) {
        const char b = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_pipe[1], &b, 1);
    }
}

qint64 SimFamily::NowUs() const
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count();
}

void SimFamily::Schedule(int delay_ms, std::function<void()> action)
{
    events.emplace(NowUs() + qint64(delay_ms) * 1000, std::move(action));
}

void SimFamily::RunDueEvents()
{
    while (!events.empty() && events.begin()->first <= NowUs()) {
        auto action = std::move(events.begin()->second);
        events.erase(events.begin());
        action();
    }
}

bool SimFamily::Chance(double p)
{
    return p > 0 && std::uniform_real_distribution<double>(0.0, 1.0)(rng) < p;
}

// --- Host side ------------------------------------------------------------------------------

void SimFamily::ReadHost()
{
    char buffer[4096];
    for (;;) {
        ssize_t n = 0;
        if (pty) {
            n = ::read(pty->MasterFd(), buffer, sizeof buffer);
        } else if (memory) {
            const QByteArray bytes = memory->TakeFromHost(int(sizeof buffer));
            n = bytes.size();
            memcpy(buffer, bytes.constData(), size_t(n));
        }
        if (n <= 0)
            return;
        host_chunks.append({NowUs(), int(n)});
        for (ssize_t i = 0; i < n; ++i) {
            if (Chance(options.faults.drop_host_byte))
                continue;
            uint8_t b = uint8_t(buffer[i]);
            if (Chance(options.faults.corrupt_host_byte))
                b ^= uint8_t(1u << (rng() % 8));
            const uint8_t decoded = FrameCodec::Decode(parser, b);
            if (decoded == FrameCodec::FrameOk)
                Dispatch(parser.frame);
            else if (decoded == FrameCodec::FrameBadChecksum)
                ++bad_frames;
            broken_frames += parser.broken;
            parser.broken = 0;
            if (!Attached())  // the request cut the power: the rest never reached the base
                return;
        }
        if (!Attached())  // a request unplugged the base
            return;
    }
}

void SimFamily::WriteHost()
{
    if (memory) {
        memory->SendToHost(to_host);
        to_host.clear();
        return;
    }
    if (!pty || to_host.isEmpty())
        return;
    const ssize_t n = ::write(pty->MasterFd(), to_host.constData(), size_t(to_host.size()));
    if (n > 0)
        to_host.remove(0, int(n));
}

void SimFamily::Dispatch(const Frame &request)
{
    const int id = request.address & 0x0F;
    if ((request.address & 0xF0) != kRequestAddressNibble || (request.command & 0x80)) {
        rejections << QStringLiteral("address 0x%1, command 0x%2: not a request")
                          .arg(request.address, 2, 16, QLatin1Char('0'))
                          .arg(request.command, 2, 16, QLatin1Char('0'));
        return;
    }
    SimDevice *device = nullptr;
    for (auto &entry : devices) {
        if (entry.second->Address() == id)
            device = entry.second.get();
    }
    if (!device || !device->powered || device->restarting)
        return;  // nobody answers at that address
    if (options.faults.drop_request_if && options.faults.drop_request_if(device->id, request))
        return;
    if (Chance(options.faults.drop_request))
        return;
    if (request.command == SectionData && Chance(options.faults.drop_data_frame))
        return;
    if (!options.faults.silent.contains(device->id)) {
        const QString refused = device->Handle(request, *this);
        if (!refused.isEmpty()) {
            rejections << QStringLiteral("device %1: %2").arg(id).arg(refused);
            return;
        }
    }
    // A silent device hears the request but neither acts on it nor answers.
    requests_by_device[device->id].append({NowUs(), request});
    if (options.on_request)
        options.on_request(device->id, request);
    CheckPowerCut(*device, request);
}

void SimFamily::CheckPowerCut(const SimDevice &device, const Frame &request)
{
    const SimPowerCutTrigger &trigger = options.power_cut;
    if (!trigger.Armed() || request.command != trigger.command || (trigger.device && trigger.device != device.id))
        return;
    if (trigger.when && !trigger.when(device, request))
        return;
    if (++power_cut_matches < trigger.nth)
        return;
    const std::function<void()> then = trigger.then;
    options.power_cut = SimPowerCutTrigger();  // one cut per arming
    PowerDown();
    if (then)
        then();
}

void SimFamily::Reply(int from, uint8_t command, const QByteArray &payload)
{
    Frame frame;
    frame.command = command;
    frame.address = uint8_t(kReplyAddressNibble | from);
    frame.length = uint8_t(payload.size());
    memcpy(frame.payload, payload.constData(), size_t(payload.size()));
    if (Chance(options.faults.drop_reply) || (options.faults.drop_reply_if && options.faults.drop_reply_if(from, frame)))
        return;
    if (options.faults.tamper_reply)
        options.faults.tamper_reply(from, frame);
    FrameCodec::WireBuffer wire;
    const int n = FrameCodec::Encode(frame, wire);
    for (int i = 0; i < n; ++i) {
        if (Chance(options.faults.drop_device_byte))
            continue;
        uint8_t b = wire[i];
        if (Chance(options.faults.corrupt_device_byte))
            b ^= uint8_t(1u << (rng() % 8));
        to_host.append(char(b));
    }
}

// --- Restarts and power ---------------------------------------------------------------------

void SimFamily::Restart(int id, SimMode into)
{
    SimDevice *device = Device(id);
    if (options.faults.stay_in_boot.contains(id))
        into = SimMode::Boot;
    if (options.faults.stay_in_app.contains(id))
        into = SimMode::App;
    device->restarting = true;
    const int epoch = ++device->epoch;  // whatever the device was doing is abandoned
    if (id != kBaseId) {
        Schedule(options.timings.device_restart_ms, [device, epoch, into] {
            if (device->epoch != epoch)
                return;
            device->restarting = false;
            device->SetMode(into);
        });
        return;
    }
    // The base drops off USB, taking the display's supply with it, and enumerates again under
    // a new path; a power cut meanwhile voids both steps.
    Schedule(options.timings.base_detach_ms, [this, device, epoch] {
        if (device->epoch != epoch)
            return;
        Withdraw();
        if (SimDevice *display = Device(kDisplayId)) {
            display->powered = false;
            display->restarting = false;
            ++display->epoch;
        }
    });
    if (options.faults.never_reenumerate)
        return;
    Schedule(options.timings.base_detach_ms + options.timings.base_reenumerate_ms, [this, device, epoch, into] {
        if (device->epoch != epoch)
            return;
        SimDevice *base = device;
        base->restarting = false;
        base->SetMode(into);
        Publish();
        ++reenumerations;
        if (into == SimMode::App)
            PowerOnDisplay();  // the base's application powers the display by itself
    });
}

void SimFamily::PowerDown()
{
    for (auto &entry : devices) {
        SimDevice &device = *entry.second;
        // Programming erases the area before it writes: cut in between, it holds neither image.
        if (device.transfer.flash == SimTransfer::Flash::Busy)
            device.flash.Erase(device.transfer.address, device.transfer.length);
        device.transfer = SimTransfer();  // the section buffer was in RAM
        device.powered = false;
        device.restarting = false;
        ++device.epoch;  // restarts and programmings under way are void
    }
    Withdraw();
    ++power_cuts;
    const int epoch = ++power_epoch;
    Schedule(options.timings.power_off_ms, [this, epoch] { PowerUp(epoch); });
}

void SimFamily::PowerUp(int epoch)
{
    if (epoch != power_epoch)
        return;  // cut again while off: that cut brings the power back
    for (auto &entry : devices) {
        SimDevice *device = entry.second.get();
        if (device->id == kDisplayId && devices.count(kBaseId))
            continue;  // its supply comes from the base, not from the unit's
        device->powered = true;
        device->restarting = true;
        SimMode into = device->boot_requested ? SimMode::Boot : SimMode::App;
        if (options.faults.stay_in_boot.contains(device->id))
            into = SimMode::Boot;
        if (options.faults.stay_in_app.contains(device->id))
            into = SimMode::App;
        const int started_epoch = device->epoch;
        const bool base = device->id == kBaseId;
        if (base && options.faults.never_reenumerate)
            continue;
        Schedule(base ? options.timings.base_reenumerate_ms : options.timings.device_restart_ms,
                 [this, device, started_epoch, base, into] {
                     if (device->epoch != started_epoch)
                         return;
                     device->restarting = false;
                     device->SetMode(into);
                     if (!base)
                         return;
                     Publish();
                     ++reenumerations;
                     if (into == SimMode::App)
                         PowerOnDisplay();  // the base's application powers the display by itself
                 });
    }
}

void SimFamily::PowerOnDisplay()
{
    SimDevice *display = Device(kDisplayId);
    if (!display || display->powered)
        return;
    display->powered = true;
    display->restarting = true;
    const int epoch = display->epoch;
    Schedule(options.timings.display_boot_ms, [display, epoch] {
        if (display->epoch == epoch)
            display->PowerOn();
    });
}

void SimFamily::After(int id, int delay_ms, std::function<void()> action)
{
    SimDevice *device = Device(id);
    const int epoch = device->epoch;
    Schedule(delay_ms, [device, epoch, action = std::move(action)] {
        if (device->epoch == epoch)
            action();
    });
}

void SimFamily::Publish()
{
    // A base enumerates once: plugged back in while it was restarting, its re-enumeration
    // replaces the port rather than adding a second one at the same location.
    Withdraw();
    PortInfo info;
    if (options.transport == SimTransport::Memory) {
        memory = SimMemoryPort::Create([this] { Wake(); });
        info.name = memory->Name();
    } else {
        pty = spare ? std::move(spare) : std::make_unique<SimPty>();
        info.name = pty->Path();
    }
    info.has_usb_ids = true;
    info.vendor_id = options.vendor_id;
    info.product_id = options.product_id;
    info.location = options.location;
    info.serial_number = options.serial_number;
    catalog_handle = SimPortCatalog::Add(info);
    FrameCodec::ResetDecoder(parser);
    to_host.clear();
}

void SimFamily::Withdraw()
{
    if (!Attached())
        return;
    if (pty)
        spare = std::make_unique<SimPty>();  // holds a fresh number while the old one is released
    SimPortCatalog::Remove(catalog_handle);
    catalog_handle = 0;
    pty.reset();
    if (memory) {
        memory->Detach();  // the host's channel finds it gone; the next port gets a new name
        memory.reset();
    }
    to_host.clear();
    FrameCodec::ResetDecoder(parser);
}

// --- Public calls ---------------------------------------------------------------------------

void SimFamily::Plug()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!Attached())
        Publish();
    Wake();
}

void SimFamily::Unplug()
{
    std::lock_guard<std::mutex> lock(mutex);
    Withdraw();
    Wake();
}

bool SimFamily::IsPlugged() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return Attached();
}

QString SimFamily::PortPath() const
{
    std::lock_guard<std::mutex> lock(mutex);
    if (memory)
        return memory->Name();
    return pty ? pty->Path() : QString();
}

QString SimFamily::Location() const
{
    return options.location;  // fixed at construction
}

QString SimFamily::SerialNumber() const
{
    return options.serial_number;  // fixed at construction
}

void SimFamily::CutPower()
{
    std::lock_guard<std::mutex> lock(mutex);
    PowerDown();
    Wake();
}

void SimFamily::CutPowerAt(const SimPowerCutTrigger &trigger)
{
    std::lock_guard<std::mutex> lock(mutex);
    options.power_cut = trigger;
    power_cut_matches = 0;
}

int SimFamily::PowerCuts() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return power_cuts;
}

void SimFamily::SetFaults(const SimFaults &faults)
{
    std::lock_guard<std::mutex> lock(mutex);
    options.faults = faults;
    rng.seed(faults.seed);
}

SimDevice *SimFamily::Device(int id)
{
    auto it = devices.find(id);
    return it == devices.end() ? nullptr : it->second.get();
}

const SimDevice *SimFamily::Device(int id) const
{
    auto it = devices.find(id);
    return it == devices.end() ? nullptr : it->second.get();
}

QList<int> SimFamily::DeviceIds() const
{
    std::lock_guard<std::mutex> lock(mutex);
    QList<int> ids;
    for (const auto &entry : devices)
        ids.append(entry.first);
    return ids;
}

SimMode SimFamily::Mode(int id) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const SimDevice *device = Device(id);
    return device ? device->mode : SimMode::App;
}

bool SimFamily::IsResponsive(int id) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const SimDevice *device = Device(id);
    return Attached() && device && device->powered && !device->restarting && !options.faults.silent.contains(id);
}

QList<SimMode> SimFamily::ModeHistory(int id) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const SimDevice *device = Device(id);
    return device ? device->mode_history : QList<SimMode>();
}

QList<SimRequest> SimFamily::Requests(int id) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return id >= 0 && id < 16 ? requests_by_device[id] : QList<SimRequest>();
}

QStringList SimFamily::Rejections() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return rejections;
}

QList<SimChunk> SimFamily::HostChunks() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return host_chunks;
}

int SimFamily::Reenumerations() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return reenumerations;
}

int SimFamily::BadFrames() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return bad_frames;
}

int SimFamily::BrokenFrames() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return broken_frames;
}

QByteArray SimFamily::Flash(int id, quint32 address, int length) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const SimDevice *device = Device(id);
    return device ? device->flash.Read(address, length) : QByteArray();
}

QList<int> SimFamily::LossReports(int id) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const SimDevice *device = Device(id);
    return device ? device->loss_reports : QList<int>();
}

int SimFamily::FlashOperations(int id) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const SimDevice *device = Device(id);
    return device ? device->flash_operations : 0;
}

std::array<uint8_t, 4> SimFamily::AppVersionReply(int id) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const SimDevice *device = Device(id);
    return device ? device->app_version : std::array<uint8_t, 4>{};
}

void SimFamily::ClearRecords()
{
    std::lock_guard<std::mutex> lock(mutex);
    for (auto &list : requests_by_device)
        list.clear();
    rejections.clear();
    host_chunks.clear();
    bad_frames = 0;
    broken_frames = 0;
    // Every device's history starts again from the mode it is in now.
    for (auto &entry : devices) {
        SimDevice &device = *entry.second;
        device.loss_reports.clear();
        device.mode_history = {device.mode};
    }
}
