#include "backend/amp/converters.h"

#include <boost/lexical_cast.hpp>
#include <boost/math/policies/error_handling.hpp>
#include <gtest/gtest.h>

#include <cmath>

namespace {

using nox::linear_scale;
using nox::lookup;
using nox::transp_float;

const linear_scale<unsigned int, float> attenuation{0, 400, 0.0f, -100.0f};
const linear_scale<unsigned int, float> fuse{1, 320, 0.1f, 32.0f};
const lookup<unsigned int, unsigned short> profile{{0, 2}, {1, 6}, {2, 9}, {3, 10}, {4, 11}, {5, 12}};

TEST(TranspFloat, CarriesTheBitPatternBothWays) {
    EXPECT_EQ(transp_float{}.to_device(1.5f), 0x3FC00000u);
    EXPECT_EQ(transp_float{}.to_device(-2.0f), 0xC0000000u);
    EXPECT_FLOAT_EQ(transp_float{}.to_project(0x3FC00000u), 1.5f);
    EXPECT_EQ(nox::to_device_word(transp_float{}, "1.5"), 0x3FC00000u);
    EXPECT_EQ(nox::to_project_text(transp_float{}, 0x3FC00000u), "1.500000");
}

TEST(LinearScale, MapsADescendingProjectRange) {
    EXPECT_EQ(attenuation.to_device(-50.0f), 200u);
    EXPECT_EQ(attenuation.to_device(-100.0f), 400u);
    EXPECT_FLOAT_EQ(attenuation.to_project(200), -50.0f);
    EXPECT_EQ(nox::to_device_word(attenuation, "-50"), 200u);
    EXPECT_EQ(nox::to_project_text(attenuation, 400), "-100.000000");
}

TEST(LinearScale, RoundsHalvesAwayFromZero) {
    const linear_scale<unsigned int, float> halves{0, 10, 0.0f, 1.0f};
    EXPECT_EQ(halves.to_device(0.25f), 3u);  // 2.5 -> 3
    EXPECT_EQ(halves.to_device(0.24f), 2u);
}

TEST(LinearScale, WordsBelowTheDeviceMinimumDoNotWrap) {
    // Word 0 lies below fuse's device minimum 1: the result is just under project_min,
    // not a huge number from unsigned subtraction.
    EXPECT_NEAR(fuse.to_project(0), 0.1f - 31.9f / 319.0f, 1e-5);
    EXPECT_EQ(fuse.to_device(32.0f), 320u);
    EXPECT_EQ(fuse.to_device(0.1f), 1u);
}

TEST(LinearScale, ClampsResultsOutsideTheWordRange) {
    EXPECT_EQ(attenuation.to_device(10.0f), 0u);  // would be -40
    const linear_scale<unsigned int, float> wide{0, 4000000000u, 0.0f, 1.0f};
    EXPECT_EQ(wide.to_device(2.0f), 0xFFFFFFFFu);
}

TEST(LinearScale, NonFiniteValuesThrowTheRoundingError) {
    EXPECT_THROW(attenuation.to_device(NAN), boost::math::rounding_error);
    EXPECT_THROW(attenuation.to_device(INFINITY), boost::math::rounding_error);
}

TEST(LinearScale, IntegerProjectTypesRoundTrip) {
    const linear_scale<unsigned int, int> signed_scale{0, 200, -100, 100};
    EXPECT_EQ(signed_scale.to_device(-100), 0u);
    EXPECT_EQ(signed_scale.to_device(25), 125u);
    EXPECT_EQ(signed_scale.to_project(125), 25);
    EXPECT_EQ(nox::to_device_word(signed_scale, "25"), 125u);
    EXPECT_EQ(nox::to_project_text(signed_scale, 0), "-100");

    const linear_scale<unsigned int, unsigned int> unsigned_scale{0, 1000, 0, 100};
    EXPECT_EQ(unsigned_scale.to_device(7), 70u);
    EXPECT_EQ(unsigned_scale.to_project(75), 8u);  // 7.5 rounds up
    EXPECT_EQ(nox::to_device_word(unsigned_scale, "-3"), 0u);
}

TEST(Lookup, TranslatesBothWaysAndRejectsUnknownValues) {
    EXPECT_EQ(profile.to_device(9), 2u);
    EXPECT_EQ(profile.to_project(5), 12);
    EXPECT_EQ(nox::to_device_word(profile, "9"), 2u);
    EXPECT_EQ(nox::to_project_text(profile, 5), "12");
    EXPECT_THROW(nox::to_device_word(profile, "7"), std::exception);
    EXPECT_THROW(nox::to_device_word(profile, "70000"), std::exception);
    EXPECT_THROW(nox::to_project_text(profile, 6), std::exception);
}

TEST(NoConverter, UsesTheIntegerAndKeepsItsSign) {
    const boost::any none;
    EXPECT_EQ(nox::to_device_word(none, "42"), 42u);
    EXPECT_EQ(nox::to_device_word(none, "-5"), 0xFFFFFFFBu);
    EXPECT_EQ(nox::to_project_text(none, 0xFFFFFFFBu), "-5");
}

TEST(TextConversion, BadTextThrows) {
    const boost::any none;
    EXPECT_THROW(nox::to_device_word(none, "abc"), std::invalid_argument);
    EXPECT_THROW(nox::to_device_word(transp_float{}, "1.5x"), boost::bad_lexical_cast);
    EXPECT_THROW(nox::to_device_word(attenuation, ""), boost::bad_lexical_cast);
    EXPECT_THROW(nox::to_device_word(boost::any(3.0), "1"), std::invalid_argument);
}

}  // namespace
