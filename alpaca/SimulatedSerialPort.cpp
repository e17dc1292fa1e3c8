#include "SimulatedSerialPort.h"

#include "core/options.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

using velmaro::sim::MountSim;
using velmaro::sim::ParsedCommandLine;
using velmaro::sim::Reply;
using velmaro::sim::ReplyScheduler;
using velmaro::sim::SimConfig;

namespace {

// The simulator's clocks, as its pseudo-terminal front end reads them: a
// steady one for the motion and the replies' timing, the wall clock for
// the sky.
double steadySeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double utcSeconds()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

constexpr double kNothingComing = std::numeric_limits<double>::infinity();

class SimulatedSerialPort final : public SerialPort {
public:
    explicit SimulatedSerialPort(std::shared_ptr<SimulatedMount> mount) : mount(std::move(mount)) {}
    ~SimulatedSerialPort() override { close(); }

    bool open(const char*, std::uint32_t) override
    {
        if (opened)
            return true;
        opened = mount->take();
        return opened;
    }

    void close() override
    {
        if (opened)
            mount->giveBack();
        opened = false;
    }

    bool purge() override
    {
        if (!opened)
            return false;
        mount->dropArrived();
        return true;
    }

    bool write(const void* bytes, std::uint32_t count) override
    {
        if (!opened)
            return false;
        mount->feed(static_cast<const char*>(bytes), count);
        return true;
    }

    // As a serial read: whatever has arrived, waiting for the rest until
    // 500 ms + 1 ms per requested byte have passed.
    std::uint32_t read(void* buffer, std::uint32_t count) override
    {
        if (!opened)
            return 0;
        char* into = static_cast<char*>(buffer);
        const double deadline = steadySeconds() + (kReadTotalConstantMs + kReadTotalPerByteMs * double(count)) / 1000.0;
        std::uint32_t got = 0;
        for (;;) {
            double nextArrival = kNothingComing;
            got += mount->takeArrived(into + got, count - got, nextArrival);
            const double now = steadySeconds();
            if (got == count || now >= deadline)
                return got;
            // Only this port writes to the mount, so nothing but a reply
            // already scheduled can arrive while it waits.
            const double wakeAt = std::min(nextArrival, deadline);
            std::this_thread::sleep_for(std::chrono::duration<double>(std::max(0.0, wakeAt - now)));
        }
    }

    bool isOpen() const override { return opened; }

private:
    const std::shared_ptr<SimulatedMount> mount;
    bool opened = false;
};

} // namespace

SimulatedMount::SimulatedMount(SimConfig config)
    : sim(config), scheduler(ReplyScheduler::kSecondsPerByteAt9600), modelNumber(config.model)
{
}

std::string SimulatedMount::label() const
{
    return "simulated mount (model " + std::to_string(modelNumber) + ")";
}

SerialPortMaker SimulatedMount::portMaker()
{
    std::weak_ptr<SimulatedMount> self = weak_from_this();
    return [self]() -> std::unique_ptr<SerialPort> {
        std::shared_ptr<SimulatedMount> mount = self.lock();
        if (!mount)
            return nullptr;
        return std::make_unique<SimulatedSerialPort>(std::move(mount));
    };
}

bool SimulatedMount::take()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (taken)
        return false;
    taken = true;
    // What came while no port was open is not read by the next one.
    releaseDue(steadySeconds());
    arrived.clear();
    return true;
}

void SimulatedMount::giveBack()
{
    std::lock_guard<std::mutex> lock(mutex);
    taken = false;
}

void SimulatedMount::releaseDue(double now)
{
    arrived += scheduler.release(now);
}

void SimulatedMount::feed(const char* bytes, std::uint32_t count)
{
    std::lock_guard<std::mutex> lock(mutex);
    const double now = steadySeconds();
    for (Reply& reply : sim.receive(std::string_view(bytes, count), now, utcSeconds()))
        scheduler.schedule(std::move(reply.bytes), now + reply.delaySeconds);
}

std::uint32_t SimulatedMount::takeArrived(char* buffer, std::uint32_t count, double& nextArrival)
{
    std::lock_guard<std::mutex> lock(mutex);
    releaseDue(steadySeconds());
    const std::uint32_t taking = std::uint32_t(std::min<std::size_t>(count, arrived.size()));
    std::copy(arrived.begin(), arrived.begin() + taking, buffer);
    arrived.erase(0, taking);
    nextArrival = scheduler.nextWake().value_or(kNothingComing);
    return taking;
}

void SimulatedMount::dropArrived()
{
    std::lock_guard<std::mutex> lock(mutex);
    releaseDue(steadySeconds());
    arrived.clear();
}

bool simulatorConfig(int model, const std::vector<std::string>& options, SimConfig& config, std::string& error)
{
    // The simulator's own reading of its command line; the link it wants is
    // never made here.
    std::vector<std::string> words = {"--model", std::to_string(model), "--link", "in-process"};
    words.insert(words.end(), options.begin(), options.end());
    const ParsedCommandLine parsed = velmaro::sim::parseCommandLine(words);
    if (parsed.status != ParsedCommandLine::Status::Run) {
        error = parsed.status == ParsedCommandLine::Status::Error ? parsed.error : "bad simulator option";
        return false;
    }
    config = parsed.options.sim;
    return true;
}
