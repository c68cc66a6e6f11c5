#include "ui/tform1.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "protocol/exchange_state.h"
#include "ui/error_box.h"
#include "ui/form_layout.h"

namespace qx17 {

TForm1::TForm1(Toolkit& toolkit, FormSettings& settings, std::string application_title,
               SerialPlatform& platform)
    : TComponent(nullptr),
      toolkit_(toolkit),
      settings_(settings),
      title_(std::move(application_title)) {
    SetName("Form1");
    ResetExchangeState();
    CreateControls();

    Comm1 = new TComm(this, platform);  // owned: destroyed with the window
    Comm1->SetName("Comm1");
    ApplyComm1FormValues(*Comm1);
    Comm1->OnReceiveData = [this](TComm* sender, const std::uint8_t* buffer, std::uint16_t length) {
        Guard([&] { Comm1ReceiveData(sender, buffer, length); });
    };
    toolkit_.AttachNotices(*Comm1);

    BindHandlers();
    toolkit_.StartTimer(kTimerInterval, Guarded([this] { Timer1Timer(); }));
    toolkit_.StartTimer(kTimerInterval, Guarded([this] { Timer3Timer(); }));

    // An error of the start-up sequence is shown, the rest of it skipped, and
    // the window is created all the same.
    Guard([this] { FormCreate(); });
}

TForm1::~TForm1() {
    Comm1->ClosePort();
    toolkit_.DetachNotices(*Comm1);
}

void TForm1::CreateControls() {
    toolkit_.CreateWindow(kFormClientWidth, kFormClientHeight);
    for (const ControlSpec& spec : Form1Layout()) {
        controls_[spec.name] = &toolkit_.CreateControl(spec);
    }
    Control** const fields[] = {
        &BitBtn1,   &ComboBox4,  &GroupBox1,  &GroupBox3, &BitBtn2, &BitBtn4,   &BitBtn3,
        &GroupBox2, &CheckBox1,  &StatusBar1, &IN_DNS,    &SelGPRS, &SelTCP,    &IN_ID,
        &IN_APN,    &IN_APNNAME, &IN_IP,      &IN_APNPW,  &IN_PORT, &IN_GPRSTM, &BitBtn7,
        &IN_ATEL,   &IN_ATM,     &Button1,    &IN_PW,     &Button3, &Edit1,     &Button10,
        &Edit7,     &Button13,   &Edit2,      &Button11,  &IN_SMS1, &Button2,   &Edit3,
        &Button4,   &ComboBox1,  &Button18,
    };
    const char* const names[] = {
        "BitBtn1",   "ComboBox4",  "GroupBox1",  "GroupBox3", "BitBtn2", "BitBtn4",   "BitBtn3",
        "GroupBox2", "CheckBox1",  "StatusBar1", "IN_DNS",    "SelGPRS", "SelTCP",    "IN_ID",
        "IN_APN",    "IN_APNNAME", "IN_IP",      "IN_APNPW",  "IN_PORT", "IN_GPRSTM", "BitBtn7",
        "IN_ATEL",   "IN_ATM",     "Button1",    "IN_PW",     "Button3", "Edit1",     "Button10",
        "Edit7",     "Button13",   "Edit2",      "Button11",  "IN_SMS1", "Button2",   "Edit3",
        "Button4",   "ComboBox1",  "Button18",
    };
    static_assert(std::size(fields) == std::size(names));
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        *fields[i] = &Find(names[i]);
    }
}

void TForm1::BindHandlers() {
    BitBtn1->OnClick = Guarded([this] { BitBtn1Click(); });
    ComboBox4->OnChange = Guarded([this] { ComboBox4Change(); });
    CheckBox1->OnClick = Guarded([this] { CheckBox1Click(); });
    SelGPRS->OnClick = Guarded([this] { SelGPRSClick(); });
    SelTCP->OnChange = Guarded([this] { SelTCPChange(); });
    ComboBox1->OnChange = Guarded([this] { SelTCPChange(); });
}

Control& TForm1::Find(const std::string& name) const {
    const auto found = controls_.find(name);
    if (found == controls_.end()) {
        std::fprintf(stderr, "qx17eep: no control '%s'\n", name.c_str());
        std::abort();
    }
    return *found->second;
}

void TForm1::Show() {
    toolkit_.Show(TabSequence(Form1Layout()).front());
}

void TForm1::Guard(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& error) {
        toolkit_.ShowError(ErrorBoxText(error.what()), title_);
    } catch (...) {
        toolkit_.ShowError(ErrorBoxText("Unknown error"), title_);
    }
}

std::function<void()> TForm1::Guarded(std::function<void()> handler) {
    return [this, handler = std::move(handler)] { Guard(handler); };
}

BoxResult TForm1::MessageBox(const std::string& text, const std::string& caption,
                             BoxButtons buttons) {
    return toolkit_.MessageBox(text, caption, buttons);
}

void TForm1::FormCreate() {
    toolkit_.SetCaption(kForm1Caption);
    StatusBar1->SetPanelText(0, kBuildDate);
    SaveEnabled = false;
    LoadSettings();
    SaveEnabled = true;
    FieldsToImage();
}

void TForm1::BitBtn1Click() {
    // A pending exchange is abandoned silently: no time-out follows.
    ReplyCountdown = 0;
    LinkState = 0;
    if (PortOpen) {
        Comm1->ClosePort();
        PortOpen = false;
        BitBtn1->SetText("Start");
    } else {
        Comm1->SetCommName(ComboBox4->ItemText());
        Comm1->OpenPort();  // an error leaves the rest undone
        PortOpen = true;
        BitBtn1->SetText("Close");
    }
    StatusBar1->SetPanelText(0, "");
}

void TForm1::ComboBox4Change() {
    SaveSettings();
}
void TForm1::CheckBox1Click() {
    SaveSettings();
}
void TForm1::SelGPRSClick() {
    SaveSettings();
}
void TForm1::SelTCPChange() {
    SaveSettings();
}

void TForm1::LoadSettings() {
    settings_.LoadSettings(*this);
}

void TForm1::SaveSettings() {
    if (!SaveEnabled) {
        return;
    }
    settings_.SaveSettings(*this);
}

void TForm1::FieldsToImage() {
    settings_.FieldsToImage(*this);
}

// The exchange controller takes these over: the chunk goes to its receive
// side, the ticks to the reply countdown and the automatic-write delay.
void TForm1::Comm1ReceiveData(TComm*, const std::uint8_t*, std::uint16_t) {}
void TForm1::Timer1Timer() {}
void TForm1::Timer3Timer() {}

}  // namespace qx17
