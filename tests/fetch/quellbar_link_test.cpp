// The fetch cycle over the real libmarlex.so, the stand-in libusb and the
// simulated Quellbar: every fault scenario ends the way the viewer must end it.
#include <gtest/gtest.h>

#include <cstdio>

#include "fault_endings.h"
#include "link_binding.h"
#include "simctl.h"

namespace karvolen {
namespace {

using fetch::Ending;
using testing::FaultEnding;

void Play(const FaultEnding& sc, testing::Requests requests)
{
    const std::string dump = testing::CaseFile(::testing::TempDir(), "quellbar_link.ppm");
    std::remove(dump.c_str());
    simctl_reset();
    const int bus = simctl_add_bus();
    ASSERT_GE(simctl_add_quellbar(bus, ("width=640;dump=" + dump + ";" + sc.options).c_str()), 0);

    MarlexLink link("libmarlex.so.1");
    ASSERT_EQ(link.OpenCom(), 0);
    testing::PlayFaultEnding(sc, link, dump, requests);
    link.CloseCom();
}

class QuellbarLink : public ::testing::TestWithParam<FaultEnding> {};
class QuellbarLinkDelta : public ::testing::TestWithParam<FaultEnding> {};

TEST_P(QuellbarLink, FaultEndsAsItMustAndPollingRecovers) { Play(GetParam(), testing::Requests::AllWhole); }
TEST_P(QuellbarLinkDelta, FaultEndsAsItMustAndTheDeltasStayRight) { Play(GetParam(), testing::Requests::AsViewer); }

std::vector<FaultEnding> StandInEndings()
{
    auto all = testing::CommonFaultEndings();
    all.push_back({"faults=chunkerror@2", {Ending::FailedRead, Ending::Reconnected}, ""});
    all.push_back({"faults=finalerror@2", {Ending::FailedRead, Ending::Reconnected}, ""});
    // A device that re-enumerates after leaving is back in time for the reconnect.
    all.push_back({"reenum_ms=300;faults=unplug:300@2", {Ending::FailedRead, Ending::Reconnected}, "", 700});
    return all;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, QuellbarLink, ::testing::ValuesIn(StandInEndings()));
INSTANTIATE_TEST_SUITE_P(Scenarios, QuellbarLinkDelta, ::testing::ValuesIn(testing::DeltaFaultEndings()));

}  // namespace
}  // namespace karvolen
