// The fetch cycle's endings over marlex, the real libusb 0.1 and the real
// kernel, each brought about by the gadget Quellbar's faults. Runs inside the
// rig's guest only (tools/kernel-rig fetch).
#include <gtest/gtest.h>

#include <cstdlib>

#include "fault_endings.h"
#include "gadget_host.h"
#include "link_binding.h"

namespace karvolen {
namespace {

using fetch::Ending;
using testing::FaultEnding;

void Play(const FaultEnding& sc, testing::Requests requests)
{
    const std::string dump = testing::CaseFile("/tmp", "frame.ppm");
    // The gadget's log goes to the run folder that tools/kernel-rig -k keeps.
    const std::string log = testing::CaseFile(std::getenv("RIG_RESULTS"), "gadget.log");
    karvolen::testing::Gadget gadget("width=640;log=" + log + ";dump=" + dump + ";" + sc.options);

    MarlexLink link;
    ASSERT_EQ(link.OpenCom(), 0);
    testing::PlayFaultEnding(sc, link, dump, requests);
    link.CloseCom();
}

class KernelFetch : public ::testing::TestWithParam<FaultEnding> {};
class KernelFetchDelta : public ::testing::TestWithParam<FaultEnding> {};

TEST_P(KernelFetch, EndsAsItMustAndPollingRecovers) { Play(GetParam(), testing::Requests::AllWhole); }
TEST_P(KernelFetchDelta, EndsAsItMustAndTheDeltasStayRight) { Play(GetParam(), testing::Requests::AsViewer); }

std::vector<FaultEnding> KernelEndings()
{
    auto all = testing::CommonFaultEndings();
    // The read the device leaves in gives 0, its retry -19: silent; the
    // reconnect then finds no device.
    all.push_back({"faults=unplug:4000@2", {Ending::FailedRead, Ending::ReconnectFailed}, fetch::kMsgReconnectFailed});
    return all;
}

INSTANTIATE_TEST_SUITE_P(Endings, KernelFetch, ::testing::ValuesIn(KernelEndings()));
INSTANTIATE_TEST_SUITE_P(Endings, KernelFetchDelta, ::testing::ValuesIn(testing::DeltaFaultEndings()));

}  // namespace
}  // namespace karvolen
