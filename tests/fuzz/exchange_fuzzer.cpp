// The window's exchange controller under a stream of events chosen by the
// fuzzer: received chunks (noise, frames of every command, good and bad CRC,
// split), timer ticks and button presses (Read, Write, Default, every Apply,
// Start/Close, "Auto"), some of them while a box is open, as a box's own
// loop delivers them. The window runs on the headless toolkit; what it sends
// is captured at the send seam. After every event it checks what the
// controller promises:
// - LinkState is only ever 0, 1, 2 or 7;
// - every frame sent is well formed: its length what it declares, its CRC
//   right;
// - no write-all frame goes out while the fields are cleared (under a
//   completion box, where only ticks and chunks arrive);
// - nothing is read or written outside RxBuffer, TxBuffer or ParamImage
//   (AddressSanitizer; the unused tail of RxBuffer is poisoned).
#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "params/param_image.h"
#include "protocol/exchange_state.h"
#include "protocol/link_buffers.h"
#include "protocol/link_crc.h"
#include "protocol/link_sender.h"
#include "serial/serial_port.h"
#include "ui/form_mapping.h"
#include "ui/headless_toolkit.h"
#include "ui/tform1.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// No port can be opened: Start shows its error box, and frames reach the
// send seam only.
class NoPorts final : public qx17::SerialPlatform {
  public:
    OpenResult Open(const std::string&) override { return {nullptr, OpenError::CannotOpen, ""}; }
};

// Settings that only encode the fields, as the program's do after saving.
class Encoding final : public qx17::FormSettings {
  public:
    void LoadSettings(qx17::TForm1&) override {}
    void SaveSettings(qx17::TForm1& form) override { qx17::FieldsToImage(form); }
    void FieldsToImage(qx17::TForm1& form) override { qx17::FieldsToImage(form); }
};

[[noreturn]] void Broken(const char* what) {
    std::fprintf(stderr, "exchange_fuzzer: %s\n", what);
    std::abort();
}

Bytes Frame(const Bytes& payload, bool good_crc) {
    Bytes frame = {0xAB, 0xAB, static_cast<std::uint8_t>(payload.size() >> 8),
                   static_cast<std::uint8_t>(payload.size() & 0xFF)};
    frame.insert(frame.end(), payload.begin(), payload.end());
    std::uint16_t crc = qx17::LinkCrc(frame.data(), frame.size());
    if (!good_crc) {
        crc ^= 0x0101;
    }
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    return frame;
}

// Reads the fuzzer's bytes one by one; zeros once they run out.
class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool More() const { return at_ < size_; }
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    Bytes Take(std::size_t n) {
        Bytes out;
        while (out.size() < n && at_ < size_) {
            out.push_back(data_[at_++]);
        }
        return out;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

const char* const kButtons[] = {
    "BitBtn4",  "BitBtn3",  "BitBtn2", "Button3", "BitBtn7",  "Button1", "Button13",
    "Button10", "Button11", "Button2", "Button4", "Button18", "BitBtn1", "CheckBox1",
};

class Session {
  public:
    Session() {
        qx17::ParamImage.fill(0);
        form_ = std::make_unique<qx17::TForm1>(ui_, settings_, "Qx17eep", ports_);
        form_->Show();
        Reset();
        qx17::BindSendData([this](const std::uint8_t* frame, std::uint16_t length) {
            Sent(frame, length);
            return true;
        });
        ui_.SetBoxResponder([this](const qx17::BoxRecord& box) {
            if (input_ == nullptr) {
                return qx17::BoxResult::No;  // while the window is reset
            }
            // A box's own loop delivers events too, a few levels deep at most.
            if (depth_ < 2) {
                ++depth_;
                const int events = input_->Byte() % 4;
                for (int i = 0; i < events && input_->More(); ++i) {
                    Step();
                }
                --depth_;
            }
            if (box.buttons == qx17::BoxButtons::YesNo) {
                return input_->Byte() & 1 ? qx17::BoxResult::Yes : qx17::BoxResult::No;
            }
            return qx17::BoxResult::Ok;
        });
    }
    ~Session() { qx17::BindSendData(nullptr); }

    // One window serves every input (making one costs more than a run), so
    // each run starts from the state of a freshly started one: no exchange
    // pending, the image zero, the fields empty, "Auto" off. The run clears
    // up after itself, so that what it allocated is freed within it and the
    // leak check has no reason to run it a second time.
    void Run(Input& input) {
        input_ = &input;
        for (int events = 0; input.More() && events < 64; ++events) {
            Step();
        }
        Reset();
    }

    void Reset() {
        input_ = nullptr;
        qx17::ResetExchangeState();
        qx17::ParamImage.fill(0);
        form_->SaveEnabled = false;
        if (form_->CheckBox1->Checked()) {
            form_->CheckBox1->SetChecked(false);
        }
        qx17::ShowFieldValues(*form_, qx17::FieldValues{});
        form_->SaveEnabled = true;
        ui_.ClearBoxes();
    }

  private:
    void Step() {
        switch (input_->Byte() % 10) {
            case 0:  // raw bytes
                Deliver(input_->Take(input_->Byte() % 64 + 1));
                break;
            case 1:  // an announcement
                Deliver(Frame({0xAA, 0x99}, true));
                break;
            case 2:  // a write acknowledgement, any status
                Deliver(Frame({0x94, input_->Byte()}, input_->Byte() % 8 != 0));
                break;
            case 3: {  // a read reply of some length, sometimes with a bad CRC
                Bytes payload = {0x95};
                const Bytes data = input_->Take(input_->Byte());
                payload.insert(payload.end(), data.begin(), data.end());
                payload.resize(std::size_t{input_->Byte()} % 2 ? payload.size() : 257, 0x30);
                Deliver(Frame(payload, input_->Byte() % 8 != 0));
                break;
            }
            case 4: {  // a frame split over two chunks, or noise before one
                const Bytes frame = Frame({0x94, 0x01}, true);
                const std::size_t cut = input_->Byte() % frame.size();
                Deliver(Bytes(frame.begin(), frame.begin() + static_cast<long>(cut)));
                Deliver(Bytes(frame.begin() + static_cast<long>(cut), frame.end()));
                break;
            }
            case 5: {  // any payload in a frame
                Deliver(Frame(input_->Take(input_->Byte() % 16), input_->Byte() & 1));
                break;
            }
            case 6:  // time passes: a tick up to 1.3 s
                ui_.AdvanceTime(std::chrono::milliseconds(20 * (input_->Byte() % 64 + 1)));
                break;
            case 7:  // until the pending reply's time-out, and a tick or two past it
                ui_.AdvanceTime(std::chrono::milliseconds(
                    qx17::kTimerInterval * (qx17::ReplyCountdown + input_->Byte() % 3)));
                break;
            default:  // a button; a box keeps the window's buttons from the user
                if (depth_ == 0) {
                    ui_.Click(kButtons[input_->Byte() % std::size(kButtons)]);
                } else {
                    ui_.AdvanceTime(std::chrono::milliseconds(20));
                }
                break;
        }
        Check();
    }

    void Deliver(const Bytes& chunk) {
        if (chunk.empty() || chunk.size() > 2048) {
            return;
        }
        // The unused tail of the receive buffer is off limits.
        ASAN_UNPOISON_MEMORY_REGION(qx17::RxBuffer.data(), qx17::RxBuffer.size());
        ASAN_POISON_MEMORY_REGION(qx17::RxBuffer.data() + chunk.size(),
                                  qx17::RxBuffer.size() - chunk.size());
        form_->Comm1ReceiveData(form_->Comm1, chunk.data(),
                                static_cast<std::uint16_t>(chunk.size()));
        ASAN_UNPOISON_MEMORY_REGION(qx17::RxBuffer.data(), qx17::RxBuffer.size());
        Check();
    }

    void Sent(const std::uint8_t* frame, std::uint16_t length) {
        if (length < 6 || frame[0] != 0xAB || frame[1] != 0xAB) {
            Broken("a frame without its start");
        }
        const std::size_t declared = std::size_t{frame[2]} * 256 + frame[3];
        if (declared + 6 != length) {
            Broken("a frame whose length is not what it declares");
        }
        const std::uint16_t crc = qx17::LinkCrc(frame, length - 2u);
        if (frame[length - 2] != (crc >> 8) || frame[length - 1] != (crc & 0xFF)) {
            Broken("a frame with a wrong CRC");
        }
        // The fields are cleared only under a completion box, where no
        // button can be pressed: a write then can only be an automatic
        // write-all, which must wait until the fields are back.
        const bool write = declared >= 3 && frame[4] == 0x94;
        if (write && form_->FieldsCleared()) {
            Broken("a write-all frame sent while the fields are cleared");
        }
    }

    void Check() const {
        const std::uint8_t state = qx17::LinkState;
        if (state != 0 && state != 1 && state != 2 && state != 7) {
            Broken("LinkState outside 0, 1, 2, 7");
        }
    }

    qx17::HeadlessToolkit ui_;
    Encoding settings_;
    NoPorts ports_;
    std::unique_ptr<qx17::TForm1> form_;
    Input* input_ = nullptr;
    int depth_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Session session;
    Input input(data, size);
    session.Run(input);
    return 0;
}
