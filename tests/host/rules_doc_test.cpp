// docs/verifier-rules.md against the layer and the tests: every rule of hk::rule has a row, every
// row names a test of this binary, and that test, when it runs, reports the row's rule.
#include "toy.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace {

std::string Read(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Word(const std::string &s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '.'; });
}

// Rule -> test, from the table's rows: "| Rule | where | Suite.Test |".
std::map<std::string, std::string> TableRows()
{
    std::map<std::string, std::string> rows;
    std::istringstream lines(Read(HCT_SOURCE_DIR "/docs/verifier-rules.md"));
    for (std::string line; std::getline(lines, line);) {
        if (line.size() < 4 || line.compare(0, 2, "| ") != 0 || line.compare(line.size() - 2, 2, " |") != 0) {
            continue;
        }
        const std::string rule = line.substr(2, line.find(" |") - 2);
        const size_t last = line.rfind(" | ", line.size() - 3);
        const std::string test = line.substr(last + 3, line.size() - 2 - (last + 3));
        if (Word(rule) && rule != "Rule" && Word(test) && test.find('.') != std::string::npos) {
            rows[rule] = test;
        }
    }
    return rows;
}

// The rule constants of hostkernel.h: `inline constexpr const char *Name = "Name";`.
std::set<std::string> HeaderRules()
{
    const std::string header = Read(HCT_SOURCE_DIR "/platform/host/hostkernel.h");
    const size_t begin = header.find("namespace rule {");
    const size_t end = header.find("}  // namespace rule", begin);
    std::istringstream lines(header.substr(begin, end - begin));
    const std::string prefix = "inline constexpr const char *";
    std::set<std::string> rules;
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const std::string name = line.substr(prefix.size(), line.find(" = ") - prefix.size());
        const size_t open = line.find('"');
        const std::string value = line.substr(open + 1, line.find('"', open + 1) - open - 1);
        EXPECT_EQ(name, value) << "a rule's name is its constant's name";
        rules.insert(value);
    }
    return rules;
}

std::set<std::string> RegisteredTests()
{
    std::set<std::string> tests;
    const auto *unit = ::testing::UnitTest::GetInstance();
    for (int i = 0; i < unit->total_test_suite_count(); ++i) {
        const auto *suite = unit->GetTestSuite(i);
        for (int j = 0; j < suite->total_test_count(); ++j) {
            tests.insert(std::string(suite->name()) + "." + suite->GetTestInfo(j)->name());
        }
    }
    return tests;
}

// The rules each test of this run reported, read when it ends (before the next test resets the kernel).
std::map<std::string, std::set<std::string>> &Fired()
{
    static std::map<std::string, std::set<std::string>> fired;
    return fired;
}

class RecordRules : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo &test) override
    {
        auto &rules = Fired()[std::string(test.test_suite_name()) + "." + test.name()];
        for (const hk::Violation &v : hk::Violations()) {
            rules.insert(v.rule);
        }
    }
};

class CheckFired : public ::testing::Environment {
    void TearDown() override
    {
        for (const auto &[rule, test] : TableRows()) {
            auto it = Fired().find(test);
            if (it != Fired().end()) {
                EXPECT_EQ(it->second.count(rule), 1u) << test << " ran and did not report " << rule;
            }
        }
    }
};

[[maybe_unused]] const bool kRegistered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new RecordRules);
    ::testing::AddGlobalTestEnvironment(new CheckFired);
    return true;
}();

}  // namespace

TEST(RuleTable, ListsEveryRuleOfTheLayerEachWithAToyDriverTestOfThisBinary)
{
    const auto rows = TableRows();
    const auto rules = HeaderRules();
    const auto tests = RegisteredTests();
    ASSERT_GE(rules.size(), 30u);
    for (const std::string &rule : rules) {
        EXPECT_EQ(rows.count(rule), 1u) << rule << " has no row in docs/verifier-rules.md";
    }
    for (const auto &[rule, test] : rows) {
        EXPECT_EQ(rules.count(rule), 1u) << rule << " is in the table but not a rule of the layer";
        EXPECT_EQ(tests.count(test), 1u) << test << " (for " << rule << ") is not a test of test_host";
    }
}
