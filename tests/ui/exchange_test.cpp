// The exchanges with the tracker, on the headless toolkit: the frames each
// request sends, what each reply does in each state, the boxes and status
// texts, the countdowns, and what happens while a box is open.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "params/param_image.h"
#include "protocol/exchange_state.h"
#include "protocol/link_crc.h"
#include "tests/support/fake_serial_platform.h"
#include "tests/support/hex_bytes.h"
#include "ui/form_mapping.h"
#include "ui/headless_toolkit.h"
#include "ui/tform1.h"

namespace qx17 {
namespace {

using namespace std::chrono_literals;
using test::Frame;
using test::Hex;
using test::ToHex;
using testing::ElementsAre;
using testing::IsEmpty;
using Bytes = std::vector<std::uint8_t>;

const Bytes kAnnouncement = Hex("AB AB 00 02 AA 99 64 44");
const Bytes kAckOk = Hex("AB AB 00 02 94 01 40 6F");
const Bytes kAckFailed = Frame({0x94, 0x00});
const Bytes kHandshake = Hex("AB AB 00 03 99 AA 55 D8 F5");

// Saves nothing but counts the saves; encodes the fields as the program does.
class CountingSettings : public FormSettings {
  public:
    void LoadSettings(TForm1&) override {}
    void SaveSettings(TForm1& form) override {
        ++saves;
        qx17::FieldsToImage(form);
    }
    void FieldsToImage(TForm1& form) override { qx17::FieldsToImage(form); }
    int saves = 0;
};

class Exchanges : public testing::Test {
  protected:
    Exchanges() {
        ParamImage.fill(0);
        form = std::make_unique<TForm1>(ui, settings, "Qx17eep", platform);
        form->Show();
        ui.Click("BitBtn1");  // Start: the fake port is open
        ui.ClearBoxes();
        settings.saves = 0;
    }
    ~Exchanges() override { ParamImage.fill(0); }

    // The frames the tool has sent since the last call.
    std::vector<Bytes> Sent(std::size_t expected) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        std::vector<Bytes> frames;
        while (std::chrono::steady_clock::now() < deadline) {
            frames = Split();
            if (frames.size() >= expected)
                break;
            std::this_thread::sleep_for(2ms);
        }
        consumed_ += Bytes(Flatten(frames)).size();
        return frames;
    }
    // True when nothing more went out within a short while.
    bool NothingSent() {
        std::this_thread::sleep_for(50ms);
        return Split().empty();
    }
    std::vector<Bytes> Split() {
        std::lock_guard lock(platform.line->mutex);
        const Bytes& all = platform.line->written;
        std::vector<Bytes> frames;
        std::size_t i = consumed_;
        while (i + 6 <= all.size()) {
            const std::size_t length = std::size_t{all[i + 2]} * 256 + all[i + 3];
            if (i + 6 + length > all.size())
                break;
            frames.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(i),
                                all.begin() + static_cast<std::ptrdiff_t>(i + 6 + length));
            i += 6 + length;
        }
        return frames;
    }
    static Bytes Flatten(const std::vector<Bytes>& frames) {
        Bytes all;
        for (const Bytes& f : frames)
            all.insert(all.end(), f.begin(), f.end());
        return all;
    }
    void Receive(const Bytes& chunk) {
        form->Comm1ReceiveData(form->Comm1, chunk.data(), static_cast<std::uint16_t>(chunk.size()));
    }
    std::vector<std::string> BoxTexts() const {
        std::vector<std::string> texts;
        for (const BoxRecord& box : ui.Boxes())
            texts.push_back(box.text + "|" + box.caption);
        return texts;
    }
    // The write frame for ParamImage[first .. first+count-1] at 0x00 `low`.
    static Bytes WriteFrame(std::uint8_t low, std::size_t first, std::size_t count) {
        Bytes payload = {0x94, 0x00, low};
        payload.insert(payload.end(), ParamImage.begin() + static_cast<std::ptrdiff_t>(first),
                       ParamImage.begin() + static_cast<std::ptrdiff_t>(first + count));
        return Frame(payload);
    }

    HeadlessToolkit ui;
    CountingSettings settings;
    test::FakeSerialPlatform platform;
    std::unique_ptr<TForm1> form;
    std::size_t consumed_ = 0;
};

TEST_F(Exchanges, AnAnnouncementIsAnsweredWhenIdleOnly) {
    Receive(kAnnouncement);
    EXPECT_THAT(Sent(1), ElementsAre(kHandshake));
    EXPECT_EQ(form->StatusBar1->PanelText(0), "Start Update...");
    EXPECT_EQ(AutoWriteDelay, 0);

    ui.Click("BitBtn4");  // a read is pending now
    EXPECT_EQ(Sent(1).size(), 1u);
    Receive(kAnnouncement);
    EXPECT_TRUE(NothingSent());
    EXPECT_THAT(ui.Boxes(), IsEmpty());
}

TEST_F(Exchanges, ReadFillsTheImageWithTheReplysDataOnly) {
    ParamImage.fill(0xEE);
    ui.Click("BitBtn4");
    EXPECT_THAT(Sent(1), ElementsAre(Hex("AB AB 00 05 95 00 00 01 00 21 2C")));
    EXPECT_EQ(LinkState, 2);
    EXPECT_EQ(ReplyCountdown, 750);

    // A short reply, and bytes after it in the same chunk: neither the CRC
    // nor those bytes may reach the image.
    Bytes data = {'0', '0', '0', '0', '#'};
    Bytes reply = Frame({0x95, 0x01, 0x02, '9', '8', '7', '6', 0x00, 0x00});
    reply.insert(reply.end(), {0x11, 0x22, 0x33});
    std::string fields_at_box;
    ui.SetBoxResponder([&](const BoxRecord&) {
        fields_at_box = form->IN_APN->Text() + "/" + form->IN_PW->Text();
        return BoxResult::Ok;
    });
    Receive(reply);
    EXPECT_THAT(BoxTexts(), ElementsAre("Read Completed!|Completed"));
    EXPECT_EQ(fields_at_box, "/") << "the fields are empty while the box is open";
    EXPECT_EQ(ToHex(Bytes(ParamImage.begin(), ParamImage.begin() + 10)),
              "01 02 39 38 37 36 00 00 EE EE");
    EXPECT_EQ(form->IN_PW->Text(), "9876");
    EXPECT_EQ(LinkState, 0);
    EXPECT_TRUE(form->SaveEnabled);
    EXPECT_GE(settings.saves, 1) << "the values read are remembered";
}

// While "Read Completed!" is open another chunk is handled; the image still
// gets the bytes of the reply.
TEST_F(Exchanges, TheReadCopyComesFromTheReplysOwnChunk) {
    ui.Click("BitBtn4");
    Sent(1);
    ui.SetBoxResponder([&](const BoxRecord& box) {
        if (box.text == "Read Completed!")
            Receive(kAnnouncement);
        return BoxResult::Ok;
    });
    Receive(Frame({0x95, 'A', 'B', 'C', 'D'}));
    EXPECT_EQ(ToHex(Bytes(ParamImage.begin(), ParamImage.begin() + 4)), "41 42 43 44");
    EXPECT_THAT(Sent(1), ElementsAre(kHandshake)) << "the announcement was answered";
}

// An announcement while "Read Completed!" shows empty fields, with "Auto"
// ticked: the automatic write waits until the fields hold the values read.
TEST_F(Exchanges, TheAutomaticWriteNeverSendsTheClearedFields) {
    ui.Click("CheckBox1");
    ui.Click("BitBtn4");
    Sent(1);
    Bytes memory(256, 0);
    memory[2] = '1', memory[3] = '2', memory[4] = '3', memory[5] = '4';
    Bytes payload = memory;
    payload.insert(payload.begin(), 0x95);
    ui.SetBoxResponder([&](const BoxRecord& box) {
        if (box.text == "Read Completed!") {
            Receive(kAnnouncement);
            ui.AdvanceTime(1000ms);  // far past the 200 ms delay
        }
        return BoxResult::Ok;
    });
    Receive(Frame(payload));
    const std::vector<Bytes> during = Sent(1);
    EXPECT_THAT(during, ElementsAre(kHandshake)) << "no write while the fields were empty";
    EXPECT_EQ(AutoWriteDelay, 1);

    ui.AdvanceTime(20ms);
    const std::vector<Bytes> after = Sent(1);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0], Frame({0x94, 0x00, 0x02, '1', '2', '3', '4'})) << "the values read";
    EXPECT_EQ(LinkState, 7);
}

TEST_F(Exchanges, WriteAllSendsTheFourFramesAndEndsWithItsBox) {
    ui.SetBoxResponder([](const BoxRecord& box) {
        return box.buttons == BoxButtons::YesNo ? BoxResult::No : BoxResult::Ok;
    });
    ui.Click("BitBtn3");
    EXPECT_THAT(BoxTexts(), ElementsAre("Readlly Write All Parameter?|Notice"));
    EXPECT_TRUE(NothingSent());
    EXPECT_EQ(LinkState, 0);

    ui.SetBoxResponder(nullptr);
    ui.ClearBoxes();
    form->SelGPRS->SetChecked(true);
    form->IN_APN->SetText("internet");  // encoded before the first frame
    settings.saves = 0;
    ui.Click("BitBtn3");
    ui.ClearBoxes();
    EXPECT_EQ(ParamImage[19], 'i');
    const std::uint16_t countdowns[] = {300, 1000, 1000, 1000};
    const std::size_t ranges[][3] = {
        {0x02, 2, 4}, {0x10, 16, 136}, {0xA8, 168, 22}, {0xD4, 212, 36}};
    for (std::size_t step = 0; step < 4; ++step) {
        const std::vector<Bytes> frames = Sent(1);
        ASSERT_EQ(frames.size(), 1u) << "step " << step;
        EXPECT_EQ(frames[0], WriteFrame(static_cast<std::uint8_t>(ranges[step][0]), ranges[step][1],
                                        ranges[step][2]))
            << "step " << step;
        EXPECT_EQ(LinkState, 7);
        EXPECT_EQ(WriteStep, step);
        EXPECT_EQ(ReplyCountdown, countdowns[step]);
        EXPECT_EQ(frames[0].size(), ranges[step][2] + 9);
        Receive(kAckOk);
    }
    EXPECT_TRUE(NothingSent()) << "the fourth acknowledgement ends it";
    EXPECT_THAT(BoxTexts(), ElementsAre("Write All Parameter Completed!|Completed"));
    EXPECT_EQ(LinkState, 0);
    EXPECT_EQ(WriteStep, 3);
    EXPECT_TRUE(form->SelGPRS->Checked()) << "the fields show what was written";
    EXPECT_EQ(form->IN_APN->Text(), "internet");
    EXPECT_EQ(settings.saves, 0) << "a completed write-all saves nothing";
    EXPECT_TRUE(form->SaveEnabled);
}

TEST_F(Exchanges, AFailedAcknowledgementStallsTheWriteAllUntilItsTimeOut) {
    ui.Click("BitBtn3");
    ui.ClearBoxes();
    Sent(1);
    Receive(kAckOk);
    Sent(1);
    Receive(kAckFailed);
    Receive(Frame({0x95, 0x01}));  // not what a write-all waits for
    EXPECT_TRUE(NothingSent());
    EXPECT_EQ(LinkState, 7);
    EXPECT_EQ(WriteStep, 1);
    ui.AdvanceTime(999 * 20ms);
    EXPECT_THAT(ui.Boxes(), IsEmpty());
    ui.AdvanceTime(20ms);
    EXPECT_THAT(BoxTexts(), ElementsAre("COM Operate OverTimer!|Over"));
    ui.AdvanceTime(5000ms);
    EXPECT_EQ(ui.Boxes().size(), 1u) << "shown once";
    EXPECT_EQ(LinkState, 7);
    // A later good acknowledgement goes on from the same step.
    Receive(kAckOk);
    EXPECT_EQ(Sent(1).size(), 1u);
    EXPECT_EQ(WriteStep, 2);
}

TEST_F(Exchanges, SingleWritesAndTheirAcknowledgements) {
    ui.Click("Button10");
    EXPECT_EQ(LinkState, 1);
    EXPECT_EQ(ReplyCountdown, 300);
    Receive(kAnnouncement);  // ignored in state 1
    Receive(kAckFailed);
    EXPECT_THAT(ui.Boxes(), IsEmpty());
    EXPECT_EQ(LinkState, 0);

    ui.Click("Button10");
    Receive(kAckOk);
    EXPECT_THAT(BoxTexts(), ElementsAre("Write Completed!|Completed"));
    ui.AdvanceTime(10000ms);
    EXPECT_EQ(ui.Boxes().size(), 1u) << "the countdown runs out quietly after success";
}

TEST_F(Exchanges, EachApplyButtonSendsItsRange) {
    for (std::size_t i = 0; i < ParamImage.size(); ++i)
        ParamImage[i] = static_cast<std::uint8_t>(i * 7);
    form->SaveEnabled = false;  // keep the image as set
    const struct {
        const char* button;
        std::uint8_t low;
        std::size_t first, count;
    } applies[] = {
        {"Button3", 0x02, 2, 4},     {"BitBtn7", 0x10, 16, 136}, {"Button1", 0xD5, 213, 18},
        {"Button13", 0xA8, 168, 16}, {"Button10", 0xB8, 184, 2}, {"Button11", 0xBA, 186, 4},
        {"Button2", 0xE7, 231, 16},  {"Button4", 0xD4, 212, 1},  {"Button18", 0xF7, 247, 1},
    };
    for (const auto& a : applies) {
        ui.Click(a.button);
        const std::vector<Bytes> frames = Sent(1);
        ASSERT_EQ(frames.size(), 1u) << a.button;
        EXPECT_EQ(frames[0], WriteFrame(a.low, a.first, a.count)) << a.button;
        EXPECT_EQ(LinkState, 1);
        EXPECT_EQ(ReplyCountdown, 300);
    }
    EXPECT_EQ(form->StatusBar1->PanelText(1),
              std::string(ParamImage.begin() + 2, ParamImage.begin() + 6))
        << "the password Apply shows its four bytes";
}

TEST_F(Exchanges, DefaultAsksFirst) {
    ui.SetBoxResponder([](const BoxRecord&) { return BoxResult::No; });
    LinkState = 2;
    ui.Click("BitBtn2");
    EXPECT_THAT(BoxTexts(), ElementsAre("Readlly Init All Parameter?|Notice"));
    EXPECT_TRUE(NothingSent());
    EXPECT_EQ(LinkState, 2);

    ui.SetBoxResponder(nullptr);
    ui.ClearBoxes();
    ui.Click("BitBtn2");
    EXPECT_THAT(Sent(1), ElementsAre(Hex("AB AB 00 04 94 00 02 FF 12 A2")));
    EXPECT_EQ(LinkState, 1);
    Receive(kAckOk);
    EXPECT_THAT(BoxTexts(),
                ElementsAre("Readlly Init All Parameter?|Notice", "Write Completed!|Completed"));
}

TEST_F(Exchanges, AutoWritesAllAfterTheAnnouncementWithoutAsking) {
    ui.Click("CheckBox1");
    Receive(kAnnouncement);
    EXPECT_THAT(Sent(1), ElementsAre(kHandshake));
    EXPECT_EQ(form->StatusBar1->PanelText(0), "Auto Write Start...");
    ui.AdvanceTime(180ms);
    EXPECT_TRUE(NothingSent());
    ui.AdvanceTime(20ms);  // 10 ticks: 200 ms
    EXPECT_EQ(Sent(1).size(), 1u);
    for (int i = 0; i < 3; ++i) {
        Receive(kAckOk);
        EXPECT_EQ(Sent(1).size(), 1u);
    }
    Receive(kAckOk);
    EXPECT_EQ(form->StatusBar1->PanelText(0), "Auto Write Ok!");
    EXPECT_THAT(ui.Boxes(), IsEmpty());
}

TEST_F(Exchanges, ARequestWithThePortClosedTimesOut) {
    ui.Click("BitBtn1");  // Close
    ui.Click("BitBtn4");
    ui.AdvanceTime(749 * 20ms);
    EXPECT_THAT(ui.Boxes(), IsEmpty());
    ui.AdvanceTime(20ms);
    EXPECT_THAT(BoxTexts(), ElementsAre("COM Operate OverTimer!|Over"));
    EXPECT_EQ(LinkState, 2);
}

// Under the time-out box a late reply is handled and opens its own box.
TEST_F(Exchanges, ALateReplyOpensItsBoxOnTopOfTheTimeOut) {
    ui.Click("Button4");
    ui.SetBoxResponder([&](const BoxRecord& box) {
        if (box.text == "COM Operate OverTimer!")
            Receive(kAckOk);
        return BoxResult::Ok;
    });
    ui.AdvanceTime(300 * 20ms);
    EXPECT_THAT(BoxTexts(),
                ElementsAre("COM Operate OverTimer!|Over", "Write Completed!|Completed"));
}

TEST_F(Exchanges, AnApplyDuringAWriteAllTakesItOver) {
    ui.Click("BitBtn3");
    Sent(1);
    ui.Click("Button18");
    Sent(1);
    Receive(kAckOk);
    EXPECT_THAT(BoxTexts(),
                ElementsAre("Readlly Write All Parameter?|Notice", "Write Completed!|Completed"));
    EXPECT_EQ(LinkState, 0);
}

TEST_F(Exchanges, StartAndCloseDropAPendingRequestButNotAPendingAutoWrite) {
    ui.Click("CheckBox1");
    Receive(kAnnouncement);
    Sent(1);
    ui.Click("Button4");
    Sent(1);
    ui.Click("BitBtn1");  // Close
    ui.Click("BitBtn1");  // Start
    EXPECT_EQ(LinkState, 0);
    EXPECT_EQ(ReplyCountdown, 0);
    ui.AdvanceTime(200ms);
    EXPECT_EQ(LinkState, 7) << "the automatic write started all the same";
    EXPECT_EQ(Sent(1).size(), 1u);
    ui.AdvanceTime(30s);
    EXPECT_THAT(BoxTexts(), ElementsAre("COM Operate OverTimer!|Over"));
}

TEST_F(Exchanges, BadFramesAreIgnored) {
    ui.Click("BitBtn4");
    Bytes reply = Frame({0x95, 0x01});
    reply.back() ^= 1;  // one wrong CRC bit
    Receive(reply);
    Bytes split = Frame({0x95, 0x01, 0x02});
    Receive(Bytes(split.begin(), split.begin() + 4));
    Receive(Bytes(split.begin() + 4, split.end()));
    Receive(Bytes{0x95});
    EXPECT_EQ(LinkState, 2);
    EXPECT_THAT(ui.Boxes(), IsEmpty());
}

}  // namespace
}  // namespace qx17
