#include "CoreTest.h"

#include "Utilities.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <limits.h>
#include <unistd.h>

Expected succeeded()
{
    return {OutcomeKind::Success, "", 0};
}

Expected numbered(DriverErrorNumber number)
{
    OutcomeKind kind = number == kErrorNotSupported ? OutcomeKind::NotImplemented
        : number == kErrorValueNotSet                ? OutcomeKind::ValueNotSet
                                                     : OutcomeKind::InvalidValue;
    return {kind, "Unknown Error", number};
}

Expected failed(OutcomeKind kind, const std::string& text)
{
    return {kind, text, 0};
}

Expected warned(const std::string& text)
{
    return {OutcomeKind::TransmissionWarning, text, 0};
}

bool operator==(const Outcome& outcome, const Expected& expected)
{
    return outcome.kind() == expected.kind && outcome.text() == expected.text
        && outcome.driverNumber() == expected.number;
}

const char* kindName(OutcomeKind kind)
{
    switch (kind) {
    case OutcomeKind::Success:
        return "Success";
    case OutcomeKind::TransmissionWarning:
        return "TransmissionWarning";
    case OutcomeKind::NotImplemented:
        return "NotImplemented";
    case OutcomeKind::InvalidValue:
        return "InvalidValue";
    case OutcomeKind::ValueNotSet:
        return "ValueNotSet";
    case OutcomeKind::InvalidWhileParked:
        return "InvalidWhileParked";
    case OutcomeKind::NotConnected:
        return "NotConnected";
    case OutcomeKind::InvalidOperation:
        return "InvalidOperation";
    case OutcomeKind::Failure:
        return "Failure";
    case OutcomeKind::LinkDown:
        return "LinkDown";
    }
    return "(no such kind)";
}

void PrintTo(const Outcome& outcome, std::ostream* out)
{
    *out << kindName(outcome.kind()) << " \"" << outcome.text() << "\" #" << outcome.driverNumber();
}

void PrintTo(const Expected& expected, std::ostream* out)
{
    *out << kindName(expected.kind) << " \"" << expected.text << "\" #" << expected.number;
}

CoreTest::CoreTest() : mount(newMount()) {}

std::unique_ptr<Mount> CoreTest::newMount()
{
    return newMount(state);
}

std::unique_ptr<Mount> CoreTest::newMount(std::shared_ptr<MountState> shared)
{
    return std::make_unique<Mount>(std::move(shared), settings, clock, script.maker());
}

void CoreTest::connectAs(int model)
{
    script.answerAsModel(model);
    ASSERT_EQ(mount->setConnected(true), succeeded());
    ASSERT_TRUE(state->connected);
    ASSERT_EQ(int(state->model), model);
    forgetTraffic();
}

void CoreTest::forgetTraffic()
{
    script.forget();
    clock.forgetPauses();
}

void ModelTest::connectAsModel()
{
    if (model() != 0)
        connectAs(model());
}

std::string modelName(const ::testing::TestParamInfo<int>& info)
{
    return "Model" + std::to_string(info.param);
}

DebugLog::DebugLog()
{
    char current[PATH_MAX] = {};
    if (!getcwd(current, sizeof current))
        return;
    previous = current;
    char pattern[] = "/tmp/velmaro-core-log-XXXXXX";
    if (!mkdtemp(pattern))
        return;
    directory = pattern;
    entered = chdir(directory.c_str()) == 0;
}

DebugLog::~DebugLog()
{
    if (!directory.empty()) {
        std::remove((directory + "/" + kDebugLogFile).c_str());
        if (entered && chdir(previous.c_str()) != 0)
            ADD_FAILURE() << "cannot go back to " << previous;
        rmdir(directory.c_str());
    }
}

std::vector<std::string> DebugLog::messages() const
{
    // "MM/DD/YY HH:MM:SS message"
    constexpr std::size_t kStampLength = 18;
    std::vector<std::string> lines;
    std::ifstream file(directory + "/" + kDebugLogFile);
    for (std::string line; std::getline(file, line);)
        lines.push_back(line.size() >= kStampLength ? line.substr(kStampLength) : "(short line) " + line);
    return lines;
}

EnvironmentSetting::EnvironmentSetting(const char* name, const char* value) : name(name)
{
    if (const char* old = std::getenv(name)) {
        previous = old;
        hadPrevious = true;
    }
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

EnvironmentSetting::~EnvironmentSetting()
{
    if (hadPrevious)
        setenv(name.c_str(), previous.c_str(), 1);
    else
        unsetenv(name.c_str());
}

namespace {

// The whole program runs in a directory of its own: a test that makes the
// core log without reading the log back leaves nothing behind.
class LogDirectoryForAll : public ::testing::Environment {
public:
    void SetUp() override { log = std::make_unique<DebugLog>(); }
    void TearDown() override { log.reset(); }

private:
    std::unique_ptr<DebugLog> log;
};

[[maybe_unused]] ::testing::Environment* const kLogDirectoryForAll =
    ::testing::AddGlobalTestEnvironment(new LogDirectoryForAll);

} // namespace
