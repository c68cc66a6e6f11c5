// The window and qx17ctl agree: one profile gives one image, and one set of
// values on one tracker image gives the same four write-all frames.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "ctl/link/provisioning.h"
#include "ctl/profiles/profile_check.h"
#include "ctl/profiles/profile_file.h"
#include "params/field_descriptors.h"
#include "params/param_image.h"
#include "params/profile.h"
#include "protocol/frame_codec.h"
#include "protocol/link_buffers.h"
#include "protocol/link_commands.h"
#include "tests/ctl/ctl_fixture.h"
#include "tests/support/fake_serial_platform.h"
#include "ui/form_mapping.h"
#include "ui/form_settings.h"
#include "ui/headless_toolkit.h"
#include "ui/tform1.h"

namespace qx17::ctl {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

// A tracker's memory with something in every byte, the unmapped ones too.
ImageBytes BusyImage() {
    ImageBytes image{};
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(0xA0 + i % 7);
    }
    return image;
}

class SharedWithTheWindow : public testing::Test {
  protected:
    SharedWithTheWindow() {
        ::setenv("XDG_CONFIG_HOME", folder_.Path().c_str(), 1);
        ParamImage.fill(0);
    }
    ~SharedWithTheWindow() override {
        ::unsetenv("XDG_CONFIG_HOME");
        ParamImage.fill(0);
    }
    test::TempFolder folder_;
};

// The window loads the file as its settings and encodes its fields; the
// tool reads it as a profile and encodes the values.
TEST_F(SharedWithTheWindow, AProfileGivesTheWindowAndTheToolOneImage) {
    const std::string profiles[] = {
        // Empty texts and missing values take the defaults; indexes outside
        // their lists choose nothing; GPRS_EN counts by its low byte.
        "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Kestrowind\\QX17EEP]\r\n"
        "\"APN\"=\"\"\r\n\"PW\"=\"\"\r\n\"ID\"=\"4711\"\r\n\"DNS\"=\"9.9.9.9\"\r\n"
        "\"GPRS_EN\"=dword:00000100\r\n\"GPRS_TYPE\"=dword:00000007\r\n"
        "\"CallReply\"=dword:00000005\r\n\"TimeZone\"=\"-480\"\r\n",
        // What the tool itself writes.
        SerializeProfile(test::TestProfile()),
    };
    for (const std::string& profile : profiles) {
        const fs::path settings = folder_ / "Kestrowind/QX17EEP/settings.reg";
        fs::create_directories(settings.parent_path());
        std::ofstream(settings, std::ios::binary) << profile;
        ParamImage.fill(0);
        HeadlessToolkit ui;
        qx17::test::FakeSerialPlatform platform;
        TForm1 form(ui, DefaultFormSettings(), "Qx17eep", platform);
        ASSERT_TRUE(ui.Boxes().empty());

        ImageBytes tool{};
        FieldsToImage(ParseProfile(profile), tool);
        EXPECT_EQ(tool, ParamImage) << profile;
    }
}

// The window's "Write", answered Yes, with the fields holding the values and
// the image holding the tracker's memory, against the tool's plan for the
// same values and memory.
TEST_F(SharedWithTheWindow, TheWriteAllFramesAreTheWindowsOwn) {
    HeadlessToolkit ui;
    qx17::test::FakeSerialPlatform platform;
    class Encoding : public FormSettings {
        void LoadSettings(TForm1&) override {}
        void SaveSettings(TForm1& form) override { qx17::FieldsToImage(form); }
        void FieldsToImage(TForm1& form) override { qx17::FieldsToImage(form); }
    } settings;
    TForm1 form(ui, settings, "Qx17eep", platform);
    form.Show();
    ui.Click("BitBtn1");
    ASSERT_TRUE(form.PortOpen);

    const FieldValues values = test::TestProfile();
    ParamImage = BusyImage();
    form.SaveEnabled = false;
    ShowFieldValues(form, values);
    form.SaveEnabled = true;
    ui.SetBoxResponder([](const BoxRecord&) { return BoxResult::Yes; });
    ui.Click("BitBtn3");
    const Bytes ack = {0xAB, 0xAB, 0x00, 0x02, 0x94, 0x01, 0x40, 0x6F};
    for (int i = 0; i < 3; ++i) {
        for (int wait = 0; wait < 500 && platform.line->WrittenCount() == 0; ++wait) {
            std::this_thread::sleep_for(2ms);
        }
        form.Comm1ReceiveData(form.Comm1, ack.data(), static_cast<std::uint16_t>(ack.size()));
    }

    const WritePlan plan = MergeProfile(BusyImage(), values, {IdChoice::Kind::kProfile, ""});
    Bytes expected;
    for (const ImageRange& range : kWriteAllFrames) {
        std::array<std::uint8_t, kTxBufferSize> frame{};
        const std::size_t length = EncodeFrame(
            frame.data(), frame.size(),
            std::string(1, static_cast<char>(kWriteCommand)) + WriteData(plan.image, range));
        expected.insert(expected.end(), frame.begin(), frame.begin() + static_cast<long>(length));
    }
    for (int wait = 0; wait < 2500 && platform.line->WrittenCount() < expected.size(); ++wait) {
        std::this_thread::sleep_for(2ms);
    }
    std::lock_guard lock(platform.line->mutex);
    EXPECT_EQ(platform.line->written, expected);
}

// Every text, in every entry field: the window keeps it when the field is
// left exactly when qx17ctl takes it from a profile. One rule per field, in
// both programs.
TEST_F(SharedWithTheWindow, TheWindowAndTheToolAcceptTheSameTexts) {
    HeadlessToolkit ui;
    qx17::test::FakeSerialPlatform platform;
    class Quiet : public FormSettings {
        void LoadSettings(TForm1&) override {}
        void SaveSettings(TForm1&) override {}
        void FieldsToImage(TForm1&) override {}
    } settings;
    TForm1 form(ui, settings, "Qx17eep", platform);
    form.Show();
    const std::string texts[] = {"",
                                 "0",
                                 "5",
                                 "10",
                                 "255",
                                 "300",
                                 "1234",
                                 "12a4",
                                 "65535",
                                 "65536",
                                 "655351",
                                 "-480",
                                 "--480",
                                 "+4412",
                                 "44+12",
                                 "1 12",
                                 "x",
                                 "a#b",
                                 "internet",
                                 std::string(21, 'u'),
                                 std::string(33, 'a'),
                                 "12345678901234",
                                 "123456789012345",
                                 "+123456789012345",
                                 std::string("a\0b", 3),
                                 std::string(1, '\0')};
    std::size_t checked = 0;
    for (const FieldDescriptor& field : FieldDescriptors()) {
        if (!field.rule || !field.shown) {
            continue;
        }
        for (const std::string& text : texts) {
            Control& control = form.Find(field.control);
            control.SetText("before");
            ui.Focus(field.control);
            ui.Type(text);
            ui.Focus("BitBtn4");
            const bool window_keeps = control.Text() == text;
            FieldValues values = test::TestProfile();
            values.*field.text = text;
            bool tool_takes = true;
            for (const std::string& problem : RuleProblems(values)) {
                tool_takes = tool_takes && problem.rfind(std::string(field.name) + " ", 0) != 0;
            }
            EXPECT_EQ(window_keeps, tool_takes) << field.name << " \"" << text << "\"";
            ++checked;
        }
    }
    EXPECT_EQ(checked, 15 * std::size(texts)) << "the 15 entry fields";
}

}  // namespace
}  // namespace qx17::ctl
