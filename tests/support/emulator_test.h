// The fixture of every test that works against one emulated display (the serial tests on its
// pty, the fault tests through the program), and the line settings as the display reports them.
#pragma once

#include "tests/support/device_path.h"
#include "tools/driver/emulator_client.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

// The run's settings, the release's, and the 9600 baud lines that displays start from.
inline const std::string kTestDefaults = "speed=38400 bits=8 parity=none stop=1 rtscts=on";
inline const std::string kRelease = "speed=38400 bits=8 parity=none stop=1 rtscts=off";
inline const std::string k9600OneStop = "speed=9600 bits=8 parity=none stop=1 rtscts=off";
inline const std::string k9600TwoStops = "speed=9600 bits=8 parity=none stop=2 rtscts=off";

// Connects to one emulated display before each test; each program has its own.
class EmulatorTest : public testing::Test {
  protected:
    explicit EmulatorTest(std::string display) : display_(std::move(display)) {}

    void SetUp() override {
        std::string error;
        ASSERT_TRUE(emulator_.connect(display_, error)) << error;
    }

    // A fresh line from the emulator with the given options.
    void mode(const std::string& options) {
        std::string error;
        ASSERT_TRUE(emulator_.setMode(options, error)) << error;
    }

    EmulatorClient emulator_;

  private:
    std::string display_;
};
