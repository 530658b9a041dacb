// The fetch cycle over the real libmarlex.so, the system's libusb and the
// simulated Quellbar on the emulated usbfs: every fault scenario ends the way
// the viewer must end it.
#include <gtest/gtest.h>

#include "fault_endings.h"
#include "link_binding.h"
#include "usbfs.h"

namespace karvolen {
namespace {

using fetch::Ending;
using testing::FaultEnding;

void Play(const FaultEnding& sc, testing::Requests requests)
{
    const testing::ScratchDir scratch;
    const std::string dump = scratch.File("screen.ppm");
    quellbar::Options options;
    ASSERT_EQ(quellbar::ParseOptions("width=640;dump=" + dump + ";" + sc.options, options), "");
    usbfs::Bus bus;
    bus.AddQuellbar(1, options);

    MarlexLink link("libmarlex.so.1");
    ASSERT_EQ(link.OpenCom(), 0);
    testing::PlayFaultEnding(sc, link, dump, requests);
    link.CloseCom();
}

std::vector<FaultEnding> UsbfsEndings()
{
    auto all = testing::CommonFaultEndings();
    all.push_back({"faults=chunkerror@2", {Ending::FailedRead, Ending::Reconnected}, ""});
    all.push_back({"faults=finalerror@2", {Ending::FailedRead, Ending::Reconnected}, ""});
    // A device that re-enumerates after leaving is back in time for the reconnect.
    all.push_back({"reenum_ms=300;faults=unplug:300@2", {Ending::FailedRead, Ending::Reconnected}, "", 700});
    return all;
}

KARVOLEN_FAULT_ENDING_SUITES(QuellbarLink, Play, UsbfsEndings());

}  // namespace
}  // namespace karvolen
