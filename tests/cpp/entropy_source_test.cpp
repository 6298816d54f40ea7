#include "random/entropy_source.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/internal_failure.hpp"
#include "random/byte_source.hpp"
#include "test_support.hpp"

namespace varnhold {
namespace {

// A scripted kernel. Each call takes the next step of the script, checks that it is the call the
// script expects, and answers with the step's result and errno. Successful transfers write
// consecutive byte values 1, 2, 3, ... so that the buffer shows where every byte landed.
enum class Call { getrandom, open, poll, read, close };

struct Step {
    Call call;
    long result;
    int error = 0;
};

struct FakeKernel {
    std::deque<Step> script;
    std::vector<std::string> log;
    const std::uint8_t* buffer_begin = nullptr;
    std::size_t buffer_length = 0;
    std::uint8_t next_byte = 1;
};

FakeKernel kernel;

void reset_kernel(std::vector<Step> script) {
    kernel = FakeKernel{};
    kernel.script.assign(script.begin(), script.end());
}

long take_step(Call call) {
    if (kernel.script.empty()) {
        ADD_FAILURE() << "system call made after the script ended: " << kernel.log.back();
        errno = ENOTRECOVERABLE;
        return -1;
    }
    const Step step = kernel.script.front();
    kernel.script.pop_front();
    if (step.call != call) {
        ADD_FAILURE() << "unexpected system call: " << kernel.log.back();
        errno = ENOTRECOVERABLE;
        return -1;
    }
    errno = step.error;
    return step.result;
}

// A transfer must always ask for exactly the rest of the buffer.
long transfer(Call call, void* buffer, std::size_t length) {
    const auto* position = static_cast<const std::uint8_t*>(buffer);
    if (length != 0) {
        EXPECT_EQ(position + length, kernel.buffer_begin + kernel.buffer_length)
            << "request does not cover the rest of the buffer";
    }
    const long result = take_step(call);
    if (result > 0) {
        auto* out = static_cast<std::uint8_t*>(buffer);
        const std::size_t count = std::min(static_cast<std::size_t>(result), length);
        for (std::size_t i = 0; i < count; ++i) out[i] = kernel.next_byte++;
    }
    return result;
}

long fake_getrandom(void* buffer, std::size_t length, unsigned int flags) {
    kernel.log.push_back("getrandom " + std::to_string(length));
    EXPECT_EQ(flags, 0u);
    return transfer(Call::getrandom, buffer, length);
}

int fake_open(const char* path, int flags) {
    kernel.log.push_back(std::string("open ") + path);
    EXPECT_EQ(flags, O_RDONLY | O_CLOEXEC);
    return static_cast<int>(take_step(Call::open));
}

int fake_poll(struct pollfd* fds, nfds_t count, int timeout_ms) {
    kernel.log.push_back("poll " + std::to_string(fds[0].fd));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(fds[0].events, POLLIN);
    EXPECT_EQ(timeout_ms, -1);
    return static_cast<int>(take_step(Call::poll));
}

ssize_t fake_read(int fd, void* buffer, std::size_t length) {
    kernel.log.push_back("read " + std::to_string(fd) + " " + std::to_string(length));
    return transfer(Call::read, buffer, length);
}

int fake_close(int fd) {
    kernel.log.push_back("close " + std::to_string(fd));
    return static_cast<int>(take_step(Call::close));
}

const SystemCalls fake_calls{fake_getrandom, fake_open, fake_poll, fake_read, fake_close};

constexpr int random_fd = 5;
constexpr int urandom_fd = 6;

// The script of a successful device opening after a refused probe.
std::vector<Step> device_opening() {
    return {{Call::open, random_fd}, {Call::poll, 1}, {Call::close, 0}, {Call::open, urandom_fd}};
}

std::vector<std::string> device_opening_log() {
    return {"open /dev/random", "poll 5", "close 5", "open /dev/urandom"};
}

// Fills `length` bytes and returns the failure message, or "" on success.
std::string fill_and_catch(EntropySource& source, std::vector<std::uint8_t>& buffer) {
    kernel.buffer_begin = buffer.data();
    kernel.buffer_length = buffer.size();
    try {
        source.fill(buffer.data(), buffer.size());
    } catch (const InternalFailure& failure) {
        return failure.what();
    }
    return "";
}

std::vector<std::uint8_t> consecutive_bytes(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(i + 1);
    return bytes;
}

std::string system_text(int error) { return std::string("Error: ") + std::strerror(error); }

TEST(EntropySource, LengthZeroMakesNoCallAndLeavesTheProbeForLater) {
    reset_kernel({{Call::getrandom, 0}, {Call::getrandom, 4}});
    EntropySource source(fake_calls);
    source.fill(nullptr, 0);
    EXPECT_TRUE(kernel.log.empty());

    std::vector<std::uint8_t> buffer(4);
    EXPECT_EQ(fill_and_catch(source, buffer), "");
    EXPECT_EQ(kernel.log, (std::vector<std::string>{"getrandom 0", "getrandom 4"}));
}

TEST(EntropySource, ProbeRunsOnceAndEveryFillIsItsOwnRequest) {
    reset_kernel({{Call::getrandom, 0}, {Call::getrandom, 8}, {Call::getrandom, 8}});
    EntropySource source(fake_calls);
    std::vector<std::uint8_t> buffer(8);
    EXPECT_EQ(fill_and_catch(source, buffer), "");
    EXPECT_EQ(fill_and_catch(source, buffer), "");
    EXPECT_EQ(kernel.log, (std::vector<std::string>{"getrandom 0", "getrandom 8", "getrandom 8"}));
    EXPECT_EQ(source.cached_descriptor(), -1);
}

// The transfer rules are the same for getrandom and for reads from the device, so every row runs
// on both paths.
enum class Path { getrandom, device };

struct TransferCase {
    const char* name;
    std::size_t length;
    std::vector<std::pair<long, int>> results;  // result and errno of each transfer
    int expected_errno;                         // 0: success; otherwise the failure's errno text
    const char* expected_message;               // used when expected_errno is 0 and it is set
};

void PrintTo(Path path, std::ostream* out) {
    *out << (path == Path::getrandom ? "getrandom" : "device");
}
void PrintTo(const TransferCase& row, std::ostream* out) { *out << row.name; }

class EntropyTransfer : public ::testing::TestWithParam<std::tuple<Path, TransferCase>> {};

TEST_P(EntropyTransfer, FollowsTheResultRules) {
    const auto& [path, row] = GetParam();
    const Call call = path == Path::getrandom ? Call::getrandom : Call::read;
    std::vector<Step> script;
    std::vector<std::string> expected_log;
    if (path == Path::getrandom) {
        script.push_back({Call::getrandom, 0});
        expected_log.push_back("getrandom 0");
    } else {
        script.push_back({Call::getrandom, -1, ENOSYS});
        expected_log.push_back("getrandom 0");
        for (const Step& step : device_opening()) script.push_back(step);
        for (const auto& line : device_opening_log()) expected_log.push_back(line);
    }
    std::size_t remaining = row.length;
    for (const auto& [result, error] : row.results) {
        script.push_back({call, result, error});
        expected_log.push_back(path == Path::getrandom ? "getrandom " + std::to_string(remaining)
                                                       : "read 6 " + std::to_string(remaining));
        if (result > 0 && static_cast<std::size_t>(result) <= remaining) {
            remaining -= static_cast<std::size_t>(result);
        }
    }
    reset_kernel(script);

    EntropySource source(fake_calls);
    std::vector<std::uint8_t> buffer(row.length);
    const std::string message = fill_and_catch(source, buffer);

    if (row.expected_errno != 0) {
        EXPECT_EQ(message, system_text(row.expected_errno));
    } else if (row.expected_message != nullptr) {
        EXPECT_EQ(message, row.expected_message);
    } else {
        EXPECT_EQ(message, "");
        EXPECT_EQ(buffer, consecutive_bytes(row.length));
    }
    EXPECT_EQ(kernel.log, expected_log);
    EXPECT_TRUE(kernel.script.empty()) << "the source stopped before the script ended";
}

const TransferCase transfer_cases[] = {
    {"OneFullTransfer", 16, {{16, 0}}, 0, nullptr},
    {"ShortTransfersFillInOrder", 16, {{5, 0}, {1, 0}, {10, 0}}, 0, nullptr},
    {"InterruptedThenComplete", 16, {{-1, EINTR}, {-1, EINTR}, {16, 0}}, 0, nullptr},
    {"ShortThenInterruptedThenRest", 8, {{3, 0}, {-1, EINTR}, {5, 0}}, 0, nullptr},
    {"ZeroBytes", 16, {{0, 0}}, 0, "Error: unexpected situation"},
    {"ZeroBytesAfterPartial", 16, {{4, 0}, {0, 0}}, 0, "Error: unexpected situation"},
    {"MoreThanRequested", 16, {{17, 0}}, 0, "Error: unexpected situation"},
    {"MoreThanRemaining", 16, {{10, 0}, {7, 0}}, 0, "Error: unexpected situation"},
    {"NegativeOtherThanMinusOne", 16, {{-2, EIO}}, 0, "Error: unexpected situation"},
    {"FailureWithErrnoZero", 16, {{-1, 0}}, 0, "Error: errno: did not return a positive value"},
    {"FailureWithNegativeErrno",
     16,
     {{-1, -5}},
     0,
     "Error: errno: did not return a positive value"},
    {"HardError", 16, {{-1, EIO}}, EIO, nullptr},
    {"HardErrorAfterPartial", 16, {{8, 0}, {-1, EAGAIN}}, EAGAIN, nullptr},
};

INSTANTIATE_TEST_SUITE_P(EntropyRows, EntropyTransfer,
                         ::testing::Combine(::testing::Values(Path::getrandom, Path::device),
                                            ::testing::ValuesIn(transfer_cases)),
                         [](const auto& test_info) {
                             const Path path = std::get<0>(test_info.param);
                             return std::string(path == Path::getrandom ? "Getrandom" : "Device") +
                                    std::get<1>(test_info.param).name;
                         });

// Which probe answers send the source to the device, and which keep it on getrandom.
class EntropyProbe : public ::testing::TestWithParam<std::tuple<long, int, bool>> {};

TEST_P(EntropyProbe, DecidesThePath) {
    const auto [result, error, uses_device] = GetParam();
    std::vector<Step> script{{Call::getrandom, result, error}};
    std::vector<std::string> expected_log{"getrandom 0"};
    if (uses_device) {
        for (const Step& step : device_opening()) script.push_back(step);
        for (const auto& line : device_opening_log()) expected_log.push_back(line);
        script.push_back({Call::read, 16});
        script.push_back({Call::read, 8});
        expected_log.insert(expected_log.end(), {"read 6 16", "read 6 8"});
    } else {
        script.push_back({Call::getrandom, 16});
        script.push_back({Call::getrandom, 8});
        expected_log.insert(expected_log.end(), {"getrandom 16", "getrandom 8"});
    }
    reset_kernel(script);

    EntropySource source(fake_calls);
    std::vector<std::uint8_t> first(16);
    EXPECT_EQ(fill_and_catch(source, first), "");
    // The second fill must neither probe again nor reopen the device.
    std::vector<std::uint8_t> second(8);
    EXPECT_EQ(fill_and_catch(source, second), "");
    EXPECT_EQ(kernel.log, expected_log);
    EXPECT_EQ(source.cached_descriptor(), uses_device ? urandom_fd : -1);
}

INSTANTIATE_TEST_SUITE_P(
    EntropyRows, EntropyProbe,
    ::testing::Values(std::make_tuple(-1L, EPERM, true), std::make_tuple(-1L, ENOSYS, true),
                      std::make_tuple(-1L, EINVAL, false), std::make_tuple(-1L, EFAULT, false),
                      std::make_tuple(0L, EPERM, false), std::make_tuple(0L, 0, false)));

struct OpeningCase {
    const char* name;
    std::vector<Step> opening;
    std::vector<std::string> opening_log;
    int expected_errno;            // 0: the opening succeeds
    const char* expected_message;  // for a failure without an errno text
};

void PrintTo(const OpeningCase& row, std::ostream* out) { *out << row.name; }

class EntropyDeviceOpening : public ::testing::TestWithParam<OpeningCase> {};

TEST_P(EntropyDeviceOpening, RetriesOnlyWhatItShouldAndCachesOnlySuccess) {
    const OpeningCase& row = GetParam();
    const bool fails = row.expected_errno != 0 || row.expected_message != nullptr;
    std::vector<Step> script{{Call::getrandom, -1, EPERM}};
    script.insert(script.end(), row.opening.begin(), row.opening.end());
    std::vector<std::string> expected_log{"getrandom 0"};
    expected_log.insert(expected_log.end(), row.opening_log.begin(), row.opening_log.end());
    if (fails) {
        // The next request starts the opening again from the beginning.
        for (const Step& step : device_opening()) script.push_back(step);
        for (const auto& line : device_opening_log()) expected_log.push_back(line);
    }
    script.push_back({Call::read, 4});
    expected_log.push_back("read 6 4");
    reset_kernel(script);

    EntropySource source(fake_calls);
    std::vector<std::uint8_t> buffer(4);
    if (fails) {
        const std::string message = fill_and_catch(source, buffer);
        EXPECT_EQ(message, row.expected_errno != 0 ? system_text(row.expected_errno)
                                                   : std::string(row.expected_message));
        EXPECT_EQ(source.cached_descriptor(), -1);
    }
    EXPECT_EQ(fill_and_catch(source, buffer), "");
    EXPECT_EQ(source.cached_descriptor(), urandom_fd);
    EXPECT_EQ(kernel.log, expected_log);
    EXPECT_TRUE(kernel.script.empty());
}

const OpeningCase opening_cases[] = {
    {"RandomOpenInterrupted",
     {{Call::open, -1, EINTR},
      {Call::open, random_fd},
      {Call::poll, 1},
      {Call::close, 0},
      {Call::open, urandom_fd}},
     {"open /dev/random", "open /dev/random", "poll 5", "close 5", "open /dev/urandom"},
     0,
     nullptr},
    {"PollInterruptedAndWouldBlock",
     {{Call::open, random_fd},
      {Call::poll, -1, EINTR},
      {Call::poll, -1, EAGAIN},
      {Call::poll, 1},
      {Call::close, 0},
      {Call::open, urandom_fd}},
     {"open /dev/random", "poll 5", "poll 5", "poll 5", "close 5", "open /dev/urandom"},
     0,
     nullptr},
    {"UrandomOpenInterrupted",
     {{Call::open, random_fd},
      {Call::poll, 1},
      {Call::close, 0},
      {Call::open, -1, EINTR},
      {Call::open, urandom_fd}},
     {"open /dev/random", "poll 5", "close 5", "open /dev/urandom", "open /dev/urandom"},
     0,
     nullptr},
    {"CloseFailureOfRandomIsIgnored",
     {{Call::open, random_fd}, {Call::poll, 1}, {Call::close, -1, EIO}, {Call::open, urandom_fd}},
     {"open /dev/random", "poll 5", "close 5", "open /dev/urandom"},
     0,
     nullptr},
    {"RandomOpenFails", {{Call::open, -1, EACCES}}, {"open /dev/random"}, EACCES, nullptr},
    {"RandomOpenFailsWithoutErrno",
     {{Call::open, -1, 0}},
     {"open /dev/random"},
     0,
     "Error: errno: did not return a positive value"},
    {"PollFailsAndClosesRandom",
     {{Call::open, random_fd}, {Call::poll, -1, ENOMEM}, {Call::close, 0}},
     {"open /dev/random", "poll 5", "close 5"},
     ENOMEM,
     nullptr},
    {"UrandomOpenFails",
     {{Call::open, random_fd}, {Call::poll, 1}, {Call::close, 0}, {Call::open, -1, ENOENT}},
     {"open /dev/random", "poll 5", "close 5", "open /dev/urandom"},
     ENOENT,
     nullptr},
};

INSTANTIATE_TEST_SUITE_P(EntropyRows, EntropyDeviceOpening, ::testing::ValuesIn(opening_cases),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(EntropyDescribe, TextsOfEveryKindOfCode) {
    struct Row {
        std::uint32_t code;
        std::string expected;
    };
    const Row rows[] = {
        {entropy_error_no_errno, "errno: did not return a positive value"},
        {entropy_error_unexpected, "unexpected situation"},
        {EIO, std::strerror(EIO)},
        {EACCES, std::strerror(EACCES)},
        {ENOSYS, std::strerror(ENOSYS)},
        // Not an error number and not one of the internal codes.
        {(std::uint32_t{1} << 31) + 7, "OS Error: 2147483655"},
        {UINT32_MAX, "OS Error: 4294967295"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(describe_entropy_error(row.code), row.expected) << "code " << row.code;
    }
}

TEST(EntropyDescribe, UnknownErrorNumberGetsTheSystemsOwnText) {
    // The C library invents a text for numbers it does not know; it fits the buffer and is
    // ASCII, so the fallback must not be used.
    const std::string text = describe_entropy_error(999999);
    EXPECT_EQ(text, std::strerror(999999));
    EXPECT_NE(text.find("999999"), std::string::npos);
    EXPECT_EQ(text.rfind("OS Error", 0), std::string::npos);
}

TEST(EntropyDescribe, Utf8Check) {
    struct Row {
        const char* name;
        std::string text;
        bool valid;
    };
    const Row rows[] = {
        {"empty", "", true},
        {"ascii", "Input/output error", true},
        {"two byte",
         "Entr\xC3\xA9"
         "e",
         true},
        {"three byte", "\xE2\x82\xAC", true},
        {"four byte, highest", "\xF4\x8F\xBF\xBF", true},
        {"embedded nul is just ASCII", std::string("a\0b", 3), true},
        {"lone continuation", "\x80", false},
        {"truncated two byte", "abc\xC3", false},
        {"truncated four byte", "\xF0\x9F\x98", false},
        {"bad continuation", "\xC3\x28", false},
        {"overlong slash", "\xC0\xAF", false},
        {"overlong three byte", "\xE0\x80\xAF", false},
        {"overlong four byte", "\xF0\x82\x82\xAC", false},
        {"surrogate", "\xED\xA0\x80", false},
        {"past U+10FFFF", "\xF4\x90\x80\x80", false},
        {"five byte lead", "\xF8\x88\x80\x80\x80", false},
        {"latin-1",
         "Entr\xE9"
         "e",
         false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(error_text_is_utf8(row.text), row.valid) << row.name;
    }
}

TEST(EntropyKernel, ProcessSourceIsOneObjectAndDeliversFreshBytes) {
    EXPECT_EQ(&process_entropy_source(), &process_entropy_source());
    std::vector<std::uint8_t> first(64);
    std::vector<std::uint8_t> second(64);
    fill_random(first.data(), first.size());
    fill_random(second.data(), second.size());
    // 512 bits agreeing by chance is not a risk worth considering.
    EXPECT_NE(first, second);
    EXPECT_NE(first, std::vector<std::uint8_t>(64));
}

TEST(RandomU64, FirstByteIsLeastSignificantAndEachDrawIsOneRequest) {
    testing::ScriptedSource source({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xFF, 0x00,
                                    0x00, 0x00, 0x00, 0x00, 0x00, 0x80});
    EXPECT_EQ(random_u64(source), 0x0807060504030201u);
    EXPECT_EQ(random_u64(source), 0x80000000000000FFu);
    EXPECT_EQ(source.request_lengths, (std::vector<std::size_t>{8, 8}));
}

}  // namespace
}  // namespace varnhold
