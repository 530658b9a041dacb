// QUELLBAR_SIM syntax and the fault table behind it.
#include <gtest/gtest.h>

#include <algorithm>

#include "options.h"
#include "wire_format.h"

namespace {

using quellbar::Fault;
using quellbar::FaultSpec;
using quellbar::Options;
using quellbar::ParseFault;
using quellbar::ParseOptions;

TEST(SimOptions, ReadsEveryKey)
{
    Options o;
    EXPECT_EQ(ParseOptions(" product=0009; width=640;speed=1000;freeze=1;seed=9;dump=/tmp/a b.ppm;log=/tmp/l;"
                           "reset=reenum;reenum_ms=0;faults=nosig:16384@3, writefail;random=0.25;widthswitch=10;"
                           "queue=whole;usb=high;overflow=1;device=absent;vendor=7e3b;interface=1;altsetting=refuse",
                           o),
              "");
    EXPECT_EQ(o.product, 0x0009);
    EXPECT_EQ(o.width, 640);
    EXPECT_EQ(o.speed, 1000);
    EXPECT_TRUE(o.freeze);
    EXPECT_EQ(o.seed, 9u);
    EXPECT_EQ(o.dump, "/tmp/a b.ppm");
    EXPECT_EQ(o.log, "/tmp/l");
    EXPECT_TRUE(o.reenumerate);
    EXPECT_EQ(o.reenumMs, 0);
    ASSERT_EQ(o.faults.size(), 2u);
    EXPECT_EQ(o.faults[0].fault, Fault::NoSig);
    EXPECT_EQ(o.faults[0].arg, 16384);
    EXPECT_EQ(o.faults[0].at, 3);
    EXPECT_EQ(o.faults[1].fault, Fault::WriteFail);
    EXPECT_EQ(o.faults[1].at, 1);
    EXPECT_DOUBLE_EQ(o.random, 0.25);
    EXPECT_EQ(o.widthSwitch, 10);
    EXPECT_TRUE(o.wholeTransfer);
    EXPECT_EQ(o.maxPacket, 512);
    EXPECT_TRUE(o.overflow);
    EXPECT_FALSE(o.present);
    EXPECT_EQ(o.vendor, 0x7E3B);
    EXPECT_EQ(o.interface, 1);
    EXPECT_TRUE(o.refuseAltSetting);
}

TEST(SimOptions, RefusesWhatItDoesNotKnow)
{
    Options o;
    // topbit takes no argument.
    for (const char* refused :
         {"width=1024", "speed=0", "colour=red", "width", "random=1.5", "reset=later", "usb=super", "altsetting=accept",
          "faults=nosig:-1", "faults=slowchunk@0", "faults=meltdown", "faults=topbit:3"}) {
        EXPECT_NE(ParseOptions(refused, o), "") << refused;
    }
    EXPECT_EQ(o.width, quellbar::kDefaultWidth) << "a refused value changes nothing";
}

TEST(FaultTable, NamesRoundTripAndThePoolsFollowLoudness)
{
    for (const auto& info : quellbar::Faults()) {
        FaultSpec f;
        ASSERT_EQ(ParseFault(info.name, f), "") << info.name;
        EXPECT_EQ(f.fault, info.fault);
        EXPECT_EQ(f.arg, info.defaultArg);
        FaultSpec again;
        ASSERT_EQ(ParseFault(quellbar::Describe(f), again), "");
        EXPECT_EQ(again.fault, f.fault);
        EXPECT_EQ(&quellbar::InfoOf(info.fault), &info) << "the table is in the order of the enum";
    }
    const auto quiet = quellbar::SoakPool(false);
    const auto all = quellbar::SoakPool(true);
    EXPECT_GT(all.size(), quiet.size());
    EXPECT_TRUE(
        std::none_of(quiet.begin(), quiet.end(), [](const FaultSpec& f) { return quellbar::InfoOf(f.fault).loud; }));
    EXPECT_TRUE(std::any_of(quiet.begin(), quiet.end(), [](const FaultSpec& f) {
        return f.fault == Fault::NoSig && f.arg == 2 * karvolen::wire::kDrainBlockSize;
    })) << "garbage ending on a drain read's boundary is drawn";
    EXPECT_TRUE(std::none_of(all.begin(), all.end(), [](const FaultSpec& f) { return f.fault == Fault::Mute; }))
        << "a 5 s silence is scheduled, never drawn";
    for (const auto& f : all) {
        EXPECT_EQ(f.arg < 0, quellbar::InfoOf(f.fault).defaultArg < 0)
            << quellbar::Describe(f) << ": drawn with an argument";
    }
}

}  // namespace
