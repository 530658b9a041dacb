// QUELLBAR_SIM syntax.
#include <gtest/gtest.h>

#include "sim_options.h"

namespace {

using sim::ParseOptions;
using sim::QuellbarOptions;

TEST(SimOptions, ReadsEveryKey)
{
    QuellbarOptions o;
    EXPECT_EQ(ParseOptions(" product=0009; width=640;speed=1000;freeze=1;seed=9;dump=/tmp/a b.ppm;log=/tmp/l;"
                           "reenum_ms=0;faults=nosig:16384@3, writefail;random=0.25;widthswitch=10;device=absent",
                           o),
              "");
    EXPECT_EQ(o.product, 0x0009);
    EXPECT_EQ(o.width, 640);
    EXPECT_EQ(o.speed, 1000);
    EXPECT_TRUE(o.freeze);
    EXPECT_EQ(o.seed, 9u);
    EXPECT_EQ(o.dump, "/tmp/a b.ppm");
    EXPECT_EQ(o.log, "/tmp/l");
    EXPECT_EQ(o.reenumMs, 0);
    ASSERT_EQ(o.faults.size(), 2u);
    EXPECT_EQ(o.faults[0].name, "nosig");
    EXPECT_EQ(o.faults[0].arg, 16384);
    EXPECT_EQ(o.faults[0].at, 3);
    EXPECT_EQ(o.faults[1].name, "writefail");
    EXPECT_EQ(o.faults[1].at, 1);
    EXPECT_DOUBLE_EQ(o.random, 0.25);
    EXPECT_EQ(o.widthSwitch, 10);
    EXPECT_FALSE(o.present);
}

TEST(SimOptions, RefusesWhatItDoesNotKnow)
{
    QuellbarOptions o;
    EXPECT_NE(ParseOptions("width=1024", o), "");
    EXPECT_NE(ParseOptions("speed=0", o), "");
    EXPECT_NE(ParseOptions("colour=red", o), "");
    EXPECT_NE(ParseOptions("width", o), "");
    EXPECT_NE(ParseOptions("random=1.5", o), "");
    EXPECT_NE(ParseOptions("faults=nosig:-1", o), "");
    EXPECT_NE(ParseOptions("faults=slowchunk@0", o), "");
    EXPECT_NE(ParseOptions("faults=meltdown", o), "");
    EXPECT_EQ(o.width, sim::kDefaultWidth) << "a refused value changes nothing";
}

}  // namespace
