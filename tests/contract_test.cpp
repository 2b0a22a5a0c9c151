// The platform contract (platform_contract.h) against the simulated Windows: every row must
// hold here as it holds under Wine, including the rows where Wine itself answers otherwise.
#include <gtest/gtest.h>

#include <string>

#include "tests/platform_contract.h"
#include "tests/sim_windows.h"

namespace karvelon::contract {
void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }
} // namespace karvelon::contract

namespace karvelon::test {
namespace {

class SimWorld final : public contract::World {
public:
    explicit SimWorld(SimWindows& windows) : windows_(windows) {}

    void add_key(const char* subkey) override
    {
        const std::string path = key(subkey);
        for (std::size_t end = path.find('\\', 5); end != std::string::npos; end = path.find('\\', end + 1))
            windows_.add_key(path.substr(0, end));
        windows_.add_key(path);
    }
    void set_value(const char* subkey, const char* name, std::uint32_t type, const char* data, std::uint32_t size) override
    {
        add_key(subkey);
        windows_.set_value(key(subkey), name, type, std::string(data, size));
    }
    void deny_set_value(const char* subkey) override { windows_.deny(key(subkey), KeyAccess::SetValue); }
    void add_file(const char* path, bool read_only) override
    {
        windows_.add_file(path);
        if (read_only) windows_.read_only_files.insert(SimWindows::fold(path));
    }
    bool has_key(const char* subkey) override { return windows_.has_key(key(subkey)); }
    bool has_value(const char* subkey, const char* name) override { return windows_.value(key(subkey), name) != nullptr; }
    bool has_file(const char* path) override { return windows_.has_file(path); }
    bool default_value(const char* subkey, std::uint32_t* type, char* data, std::uint32_t* size) override
    {
        const SimValue* value = windows_.value(key(subkey), "");
        if (value == nullptr || value->data.size() > *size) return false;
        *type = value->type;
        *size = static_cast<std::uint32_t>(value->data.copy(data, *size));
        return true;
    }
    const char* system_directory() override { return windows_.system_directory.c_str(); }
    void queue_key_release() override { windows_.console_queue.push_back(InputRecord{kKeyEvent, 0, 0, 1, 0, 0x1E, 'a', 0, 0}); }
    void move_to_new_window_station() override { windows_.station_visible = false; }

private:
    static std::string key(const char* subkey) { return std::string("HKCU\\") + subkey; }
    SimWindows& windows_;
};

class Contract : public ::testing::TestWithParam<contract::Row> {};

TEST_P(Contract, TheSimulationAnswersAsWindowsDoes)
{
    const contract::Row& row = GetParam();
    SimWindows windows;
    SimWorld world(windows);
    if (row.arrange != nullptr) row.arrange(world);
    contract::Observed observed;
    row.call(windows, observed);
    EXPECT_TRUE(contract::passes(row, observed, world))
        << "answered " << observed.answer << ", size " << observed.size << "; expected " << row.answer
        << (row.result != nullptr ? std::string(", and ") + row.result : "");
    EXPECT_TRUE(windows.open_keys.empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, Contract, ::testing::ValuesIn(contract::kRows),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace karvelon::test
