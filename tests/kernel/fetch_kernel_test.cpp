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
    const testing::ScratchDir scratch;
    const std::string dump = scratch.File("screen.ppm");
    // The gadget's log goes to the run folder that tools/kernel-rig -k keeps.
    const std::string log = testing::CaseFile(std::getenv("RIG_RESULTS"), "gadget.log");
    karvolen::testing::Gadget gadget("width=640;log=" + log + ";dump=" + dump + ";" + sc.options);

    MarlexLink link;
    ASSERT_EQ(link.OpenCom(), 0);
    testing::PlayFaultEnding(sc, link, dump, requests);
    link.CloseCom();
}

std::vector<FaultEnding> KernelEndings()
{
    auto all = testing::CommonFaultEndings();
    // The read the device leaves in gives 0, its retry -19: silent; the
    // reconnect then finds no device.
    all.push_back({"faults=unplug:4000@2", {Ending::FailedRead, Ending::ReconnectFailed}, fetch::kMsgReconnectFailed});
    return all;
}

KARVOLEN_FAULT_ENDING_SUITES(KernelFetch, Play, KernelEndings());

}  // namespace
}  // namespace karvolen
