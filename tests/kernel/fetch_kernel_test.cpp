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

// marlex, with every request written waiting until the gadget's model has
// taken it. Otherwise the gadget may learn of a later read first: the rest of
// a reply given up then counts as delivered (and is dumped), and the next
// reply as given up (and is not), while the host decodes it right.
class InOrderLink : public LinkApi {
public:
    explicit InOrderLink(const testing::Gadget& gadget) : gadget_(gadget) {}
    int32_t OpenCom() override { return link_.OpenCom(); }
    int32_t CloseCom() override { return link_.CloseCom(); }
    int32_t ReadCom(uint8_t* buffer, int32_t length) override { return link_.ReadCom(buffer, length); }
    int32_t WriteCom(const uint8_t* buffer, int32_t length) override
    {
        const int32_t n = link_.WriteCom(buffer, length);
        if (n > 0) {
            EXPECT_TRUE(gadget_.WaitUntilTaken(std::chrono::seconds(10))) << "the gadget took the request";
        }
        return n;
    }

private:
    MarlexLink link_;
    const testing::Gadget& gadget_;
};

void Play(const FaultEnding& sc, testing::Requests requests)
{
    const testing::ScratchDir scratch;
    const std::string dump = scratch.File("screen.ppm");
    // The gadget's log goes to the run folder that tools/kernel-rig -k keeps.
    const std::string log = testing::CaseFile(std::getenv("RIG_RESULTS"), "gadget.log");
    karvolen::testing::Gadget gadget("width=640;log=" + log + ";dump=" + dump + ";" + sc.options);

    InOrderLink link(gadget);
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
