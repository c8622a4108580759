// The kill switch's planned filters for each kind of settings, and what the WFP manager does to
// the engine and says in its log for each sequence of operations, compared with the tables under
// tests/golden/unit/killswitch/. The sequences run on the in-memory engine and, in the Windows
// build, on the product's Win32 engine over the fwpuclnt stand-in.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <sstream>

#include "fakes/fake_host_resolver.h"
#include "fakes/fake_wfp_engine.h"
#include "killswitch/kill_switch_rules.h"
#include "killswitch/wfp_manager.h"
#include "platform/log_capture.h"
#include "platform/text_encoding.h"
#include "support/case_file.h"
#include "support/kill_switch_settings.h"
#include "support/scratch_directory.h"

#ifdef _WIN32
#include <windows.h>

#include "fwpuclnt/stand_in_controls.h"
#endif

namespace orvo_vpn_win_svc {
namespace {

TEST(KillSwitchRules, PlansMatchTheirTable) {
  for (const orvo_test::TextCase& c : orvo_test::ReadCases("unit/killswitch/plans.txt")) {
    SCOPED_TRACE(c.name);
    const std::string plan = DescribeKillSwitchPlan(PlanKillSwitch(
        orvo_test::KillSwitchSettings(c["config"]), orvo_test::CommaList(c["addresses"]),
        WfpManager::kSublayerKey));
    orvo_test::ExpectMatches(plan, c.Has("plan") ? c["plan"] : c["checks"]);
  }
}

// An engine a case runs on, with the test's hold on it: failures to inject, its calls or its
// committed filters as text, and (at the end) how many application ids it handed out unfreed.
struct EngineUnderTest {
  std::shared_ptr<platform::WfpEngine> engine;
  std::function<void(const char*, uint32_t, int)> fail;
  std::function<std::string(bool filters)> text;
  std::function<int()> unfreed;
};

EngineUnderTest InMemoryEngine(bool administrator) {
  auto fake = std::make_shared<orvo_test::FakeWfpEngine>(administrator);
  return {fake, [fake](const char* f, uint32_t code, int n) { fake->Fail(f, code, n); },
          [fake](bool filters) { return filters ? fake->Filters() : fake->Calls(); },
          [] { return 0; }};
}

#ifdef _WIN32
// The product's Win32 engine over the fwpuclnt stand-in, reset for the case; no engine when the
// fwpuclnt.dll loaded is not the stand-in.
EngineUnderTest Win32Engine(bool administrator) {
  const auto reset = STAND_IN_FWP(StandInFwpReset);
  if (reset == nullptr) {
    return {};
  }
  reset(administrator);
  return {platform::SystemWfpEngine(), STAND_IN_FWP(StandInFwpFail),
          [](bool filters) { return std::string(STAND_IN_FWP(StandInFwpText)(filters)); },
          [reset] { return reset(1); }};
}
#endif

// Each case on each engine: the in-memory one and, on Windows, the product's Win32 engine. The
// steps run on a manager over the engine; each step is written down with its log and its result.
using EngineAndCase = std::tuple<EngineUnderTest (*)(bool), orvo_test::TextCase>;
class WfpManagerSteps : public testing::TestWithParam<EngineAndCase> {};

TEST_P(WfpManagerSteps, GiveTheirTranscripts) {
  const auto& [make, c] = GetParam();
  EngineUnderTest engine = make(c["admin"] != "no");
  ASSERT_TRUE(engine.engine) << "fwpuclnt.dll is not the stand-in";
  auto resolver = std::make_shared<orvo_test::FakeHostResolver>();
  resolver->Answer("updates.example", {"192.0.2.1", "192.0.2.2"});  // other names are unknown
  auto manager = std::make_unique<WfpManager>(engine.engine, resolver);
  orvo_test::ScratchDirectory scratch;
  LogCapture log;
  std::string transcript;
  size_t calls_seen = 0;
  // The steps are the "> " lines of the transcript or of the checks.
  std::istringstream expected(c.Has("transcript") ? c["transcript"] : c["checks"]);
  for (std::string line; std::getline(expected, line);) {
    if (line.starts_with("CHECK")) line.erase(0, line.find(": ") + 2);
    if (!line.starts_with("> ")) continue;
    transcript += line + "\n";
    std::istringstream words(line.substr(2));
    std::string verb, rest;
    words >> verb;
    std::getline(words >> std::ws, rest);
    std::optional<bool> result;
    if (verb == "init") result = manager->Initialize();
    if (verb == "disable") result = manager->DisableKillSwitch();
    if (verb == "block6") result = manager->BlockIPv6();
    if (verb == "unblock6") result = manager->UnblockIPv6();
    if (verb == "reset") manager.reset();
    if (verb == "enabled?") transcript += manager->IsKillSwitchEnabled() ? "yes\n" : "no\n";
    if (verb == "fail") {  // fail CODE N TEXT
      std::istringstream fault(rest);
      uint32_t code = 0;
      int occurrence = 0;
      std::string fragment;
      std::getline(fault >> std::hex >> code >> std::dec >> occurrence >> std::ws, fragment);
      engine.fail(fragment.c_str(), code, occurrence);
    }
    if (verb == "enable") {
      KillSwitchConfig config = orvo_test::KillSwitchSettings(rest);
      for (std::wstring& app : config.permitted_apps) {
        app = app.ends_with(L".missing") ? (scratch.path() / app).wstring()
                                         : scratch.AddFile(WideToUtf8(app));
      }
      result = manager->EnableKillSwitch(config);
    }
    if (verb == "calls") transcript += engine.text(false).substr(calls_seen);
    if (verb == "calls" || verb == "forget") calls_seen = engine.text(false).size();
    if (verb == "filters") transcript += engine.text(true);
    transcript += log.StandardError();
    log.Clear();
    if (result) transcript += *result ? "= ok\n" : "= failed: " + manager->last_error() + "\n";
  }
  manager.reset();
  EXPECT_EQ(engine.unfreed(), 0) << "application ids never freed";
  const std::string directory = WideToUtf8((scratch.path() / "").wstring());
  for (size_t at; (at = transcript.find(directory)) != std::string::npos;) {
    transcript.replace(at, directory.size(), "<scratch>/");
  }
  orvo_test::ExpectMatches(transcript, c.Has("transcript") ? c["transcript"] : c["checks"]);
}

EngineUnderTest (*const kEngines[])(bool) = {
    &InMemoryEngine,
#ifdef _WIN32
    &Win32Engine,
#endif
};

INSTANTIATE_TEST_SUITE_P(
    Cases, WfpManagerSteps,
    testing::Combine(testing::ValuesIn(kEngines),
                     testing::ValuesIn(orvo_test::ReadCases("unit/killswitch/wfp_manager.txt"))),
    [](const testing::TestParamInfo<EngineAndCase>& param) {
      std::string name = std::get<0>(param.param) == &InMemoryEngine ? "in_memory_" : "win32_";
      for (const char c : std::get<1>(param.param).name) {
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      }
      return name;
    });

}  // namespace
}  // namespace orvo_vpn_win_svc
