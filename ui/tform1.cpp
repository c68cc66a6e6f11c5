#include "ui/tform1.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "params/field_descriptors.h"
#include "params/param_image.h"
#include "protocol/exchange_controller.h"
#include "protocol/exchange_state.h"
#include "protocol/link_commands.h"
#include "protocol/link_sender.h"
#include "ui/error_box.h"
#include "ui/form_layout.h"
#include "ui/form_mapping.h"

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
    // Every frame the protocol builds goes out through Comm1.
    BindSendData([this](const std::uint8_t* buffer, std::uint16_t length) {
        return Comm1->SendData(buffer, length);
    });

    BindHandlers();
    toolkit_.StartTimer(kTimerInterval, Guarded([this] { Timer1Timer(); }));
    toolkit_.StartTimer(kTimerInterval, Guarded([this] { Timer3Timer(); }));

    // An error of the start-up sequence is shown, the rest of it skipped, and
    // the window is created all the same.
    Guard([this] { FormCreate(); });
}

TForm1::~TForm1() {
    BindSendData(nullptr);
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

    BitBtn4->OnClick = Guarded([this] { BitBtn4Click(); });
    BitBtn3->OnClick = Guarded([this] { BitBtn3Click(); });
    BitBtn2->OnClick = Guarded([this] { BitBtn2Click(); });
    const struct {
        Control* button;
        void (TForm1::*handler)();
    } applies[] = {
        {Button3, &TForm1::Button3Click},   {BitBtn7, &TForm1::BitBtn7Click},
        {Button1, &TForm1::Button1Click},   {Button13, &TForm1::Button13Click},
        {Button10, &TForm1::Button10Click}, {Button11, &TForm1::Button11Click},
        {Button2, &TForm1::Button2Click},   {Button4, &TForm1::Button4Click},
        {Button18, &TForm1::Button18Click},
    };
    for (const auto& apply : applies) {
        apply.button->OnClick = Guarded([this, h = apply.handler] { (this->*h)(); });
    }

    const struct {
        Control* field;
        void (TForm1::*enter)();
        void (TForm1::*exit)();
    } fields[] = {
        {IN_APN, &TForm1::IN_APNEnter, &TForm1::IN_APNExit},
        {IN_APNNAME, &TForm1::IN_APNNAMEEnter, &TForm1::IN_APNNAMEExit},
        {IN_APNPW, &TForm1::IN_APNPWEnter, &TForm1::IN_APNPWExit},
        {IN_IP, &TForm1::IN_IPEnter, &TForm1::IN_IPExit},
        {IN_PORT, &TForm1::IN_PORTEnter, &TForm1::IN_PORTExit},
        {IN_ID, &TForm1::IN_IDEnter, &TForm1::IN_IDExit},
        {IN_GPRSTM, &TForm1::IN_GPRSTMEnter, &TForm1::IN_GPRSTMExit},
        {IN_ATEL, &TForm1::IN_ATELEnter, &TForm1::IN_ATELExit},
        {IN_ATM, &TForm1::IN_ATMEnter, &TForm1::IN_ATMExit},
        {IN_PW, &TForm1::IN_PWEnter, &TForm1::IN_PWExit},
        {Edit7, &TForm1::Edit7Enter, &TForm1::Edit7Exit},
        {IN_SMS1, &TForm1::IN_SMS1Enter, &TForm1::IN_SMS1Exit},
        {Edit1, &TForm1::Edit1Enter, &TForm1::Edit1Exit},
        {Edit2, &TForm1::Edit2Enter, &TForm1::Edit2Exit},
        {Edit3, &TForm1::Edit3Enter, &TForm1::Edit3Exit},
    };
    for (const auto& f : fields) {
        f.field->OnEnter = Guarded([this, h = f.enter] { (this->*h)(); });
        f.field->OnExit = Guarded([this, h = f.exit] { (this->*h)(); });
    }
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
    LinkState = kLinkIdle;
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

void TForm1::ImageToFields() {
    qx17::ImageToFields(*this);
    fields_cleared_ = false;
}

void TForm1::ClearFields() {
    fields_cleared_ = true;
    for (Control* field : {IN_PW, IN_GPRSTM, IN_APN, IN_ID, IN_IP, IN_PORT, IN_ATEL, IN_ATM,
                           IN_SMS1, IN_APNNAME, IN_APNPW, IN_DNS, Edit1, Edit2, Edit7, Edit3}) {
        field->SetText("");
    }
    ComboBox1->SetItemIndex(-1);
    SelGPRS->SetChecked(false);  // raises its click, which saves unless saving is off
    SelTCP->SetItemIndex(-1);
}

bool TForm1::AutoWriteChecked() {
    return CheckBox1->Checked();
}

void TForm1::SetStatusText(const std::string& text) {
    StatusBar1->SetPanelText(0, text);
}

void TForm1::ShowMessage(const std::string& text, const std::string& caption) {
    toolkit_.MessageBox(text, caption, BoxButtons::Ok);
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

void TForm1::Comm1ReceiveData(TComm*, const std::uint8_t* buffer, std::uint16_t length) {
    HandleReceivedChunk(*this, buffer, length);
}

void TForm1::Timer1Timer() {
    CountdownTick(*this);
}
void TForm1::Timer3Timer() {
    AutoWriteTick(*this);
}

void TForm1::BitBtn4Click() {
    StartReadAll();
}

void TForm1::BitBtn3Click() {
    if (toolkit_.MessageBox("Readlly Write All Parameter?", "Notice", BoxButtons::YesNo) ==
        BoxResult::Yes) {
        StartWriteAll(*this);
    }
}

void TForm1::BitBtn2Click() {
    if (toolkit_.MessageBox("Readlly Init All Parameter?", "Notice", BoxButtons::YesNo) ==
        BoxResult::Yes) {
        StartDefault();
    }
}

// The "Apply" buttons send their range of the image as it stands: leaving a
// field already saved and encoded it.
void TForm1::Button3Click() {
    StatusBar1->SetPanelText(1, ImageBytesToText(kPW.first, kPW.width));
    StartSingleWrite(kPasswordRange);
}
void TForm1::BitBtn7Click() {
    StartSingleWrite(kGprsRange);
}  // the GPRS group
void TForm1::Button1Click() {
    StartSingleWrite(kSmsTrackingRange);
}  // SMS_OBJ, SMS_INT
void TForm1::Button13Click() {
    StartSingleWrite(kListenRange);
}  // Listen
void TForm1::Button10Click() {
    StartSingleWrite(kLoggingRange);
}  // LOG_INT
void TForm1::Button11Click() {
    StartSingleWrite(kTimeZoneRange);
}  // TimeZone
void TForm1::Button2Click() {
    StartSingleWrite(kSosRange);
}  // SOS_NO
void TForm1::Button4Click() {
    StartSingleWrite(kSleepModeRange);
}  // SleepMode
void TForm1::Button18Click() {
    StartSingleWrite(kCallReplyRange);
}  // CallReply

void TForm1::FieldEnter(Control& field) {
    EnterText = field.Text();
}

void TForm1::FieldExit(Control& field) {
    // The field's rule is the one qx17ctl checks profiles with.
    const FieldDescriptor* described = FieldOfControl(field.Name());
    if (described != nullptr && described->rule && Accepts(*described->rule, field.Text())) {
        SaveSettings();
    } else {
        field.SetText(EnterText);  // silently: nothing is reported or saved
    }
}

void TForm1::IN_APNEnter() {
    FieldEnter(*IN_APN);
}
void TForm1::IN_APNExit() {
    FieldExit(*IN_APN);
}
void TForm1::IN_APNNAMEEnter() {
    FieldEnter(*IN_APNNAME);
}
void TForm1::IN_APNNAMEExit() {
    FieldExit(*IN_APNNAME);
}
void TForm1::IN_APNPWEnter() {
    FieldEnter(*IN_APNPW);
}
void TForm1::IN_APNPWExit() {
    FieldExit(*IN_APNPW);
}
void TForm1::IN_IPEnter() {
    FieldEnter(*IN_IP);
}
void TForm1::IN_IPExit() {
    FieldExit(*IN_IP);
}
void TForm1::IN_PORTEnter() {
    FieldEnter(*IN_PORT);
}
void TForm1::IN_PORTExit() {
    FieldExit(*IN_PORT);
}
void TForm1::IN_IDEnter() {
    FieldEnter(*IN_ID);
}
void TForm1::IN_IDExit() {
    FieldExit(*IN_ID);
}
void TForm1::IN_GPRSTMEnter() {
    FieldEnter(*IN_GPRSTM);
}
void TForm1::IN_GPRSTMExit() {
    FieldExit(*IN_GPRSTM);
}
void TForm1::IN_ATELEnter() {
    FieldEnter(*IN_ATEL);
}
void TForm1::IN_ATELExit() {
    FieldExit(*IN_ATEL);
}
void TForm1::IN_ATMEnter() {
    FieldEnter(*IN_ATM);
}
void TForm1::IN_ATMExit() {
    FieldExit(*IN_ATM);
}
void TForm1::IN_PWEnter() {
    FieldEnter(*IN_PW);
}
void TForm1::IN_PWExit() {
    FieldExit(*IN_PW);
}
void TForm1::Edit7Enter() {
    FieldEnter(*Edit7);
}
void TForm1::Edit7Exit() {
    FieldExit(*Edit7);
}
void TForm1::IN_SMS1Enter() {
    FieldEnter(*IN_SMS1);
}
void TForm1::IN_SMS1Exit() {
    FieldExit(*IN_SMS1);
}
void TForm1::Edit1Enter() {
    FieldEnter(*Edit1);
}
void TForm1::Edit1Exit() {
    FieldExit(*Edit1);
}
void TForm1::Edit2Enter() {
    FieldEnter(*Edit2);
}
void TForm1::Edit2Exit() {
    FieldExit(*Edit2);
}
void TForm1::Edit3Enter() {
    FieldEnter(*Edit3);
}
void TForm1::Edit3Exit() {
    FieldExit(*Edit3);
}

}  // namespace qx17
