// TForm1 (unit Para): the program's one window. It creates its controls from
// the fixed layout through a toolkit, owns the serial component Comm1 and the
// two 20 ms timers, and holds the handlers. Every handler runs under one
// guard: an error it does not catch is shown in the standard error box and
// the program goes on.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "protocol/exchange_host.h"
#include "serial/component.h"
#include "serial/serial_port.h"
#include "serial/tcomm.h"
#include "ui/form_settings.h"
#include "ui/toolkit.h"

namespace qx17 {

inline constexpr const char* kForm1Caption = "QX17 Parameter Editor V1.00";
inline constexpr const char* kBuildDate = "20091112";
inline constexpr int kTimerInterval = 20;

class TForm1 : public TComponent, public ExchangeHost {
  public:
    // Creates the window and its components and runs FormCreate. `settings`
    // must outlive the window.
    TForm1(Toolkit& toolkit, FormSettings& settings, std::string application_title,
           SerialPlatform& platform = NativeSerialPlatform());
    ~TForm1() override;

    // Shows the window, the focus on the first control in tab order.
    void Show();

    const std::string& ApplicationTitle() const { return title_; }
    Toolkit& GetToolkit() { return toolkit_; }

    // Every control by its layout name.
    Control& Find(const std::string& name) const;

    // The window's own controls.
    Control* BitBtn1 = nullptr;    // "Start" / "Close"
    Control* ComboBox4 = nullptr;  // COM1 .. COM32
    Control* GroupBox1 = nullptr;
    Control* GroupBox3 = nullptr;
    Control* BitBtn2 = nullptr;  // "Default"
    Control* BitBtn4 = nullptr;  // "Read"
    Control* BitBtn3 = nullptr;  // "Write"
    Control* GroupBox2 = nullptr;
    Control* CheckBox1 = nullptr;  // "Auto"
    Control* StatusBar1 = nullptr;
    Control* IN_DNS = nullptr;
    // GroupBox1, "GPRS ".
    Control* SelGPRS = nullptr;
    Control* SelTCP = nullptr;
    Control* IN_ID = nullptr;
    Control* IN_APN = nullptr;
    Control* IN_APNNAME = nullptr;
    Control* IN_IP = nullptr;
    Control* IN_APNPW = nullptr;
    Control* IN_PORT = nullptr;
    Control* IN_GPRSTM = nullptr;
    Control* BitBtn7 = nullptr;
    // GroupBox3, "  SMS  Tracking".
    Control* IN_ATEL = nullptr;
    Control* IN_ATM = nullptr;
    Control* Button1 = nullptr;
    // GroupBox2.
    Control* IN_PW = nullptr;
    Control* Button3 = nullptr;
    Control* Edit1 = nullptr;
    Control* Button10 = nullptr;
    Control* Edit7 = nullptr;
    Control* Button13 = nullptr;
    Control* Edit2 = nullptr;
    Control* Button11 = nullptr;
    Control* IN_SMS1 = nullptr;
    Control* Button2 = nullptr;
    Control* Edit3 = nullptr;
    Control* Button4 = nullptr;
    Control* ComboBox1 = nullptr;
    Control* Button18 = nullptr;

    TComm* Comm1 = nullptr;

    // State of the window unit.
    bool SaveEnabled = false;
    bool PortOpen = false;
    std::string EnterText;  // the focused field's text when it was entered

    // Start-up and port control.
    void FormCreate();
    void BitBtn1Click();
    void ComboBox4Change();
    void CheckBox1Click();
    void SelGPRSClick();
    void SelTCPChange();

    // The serial component's chunks and the two timers.
    void Comm1ReceiveData(TComm* sender, const std::uint8_t* buffer, std::uint16_t length);
    void Timer1Timer();
    void Timer3Timer();

    // Exchanges with the tracker.
    void BitBtn4Click();  // "Read"
    void BitBtn3Click();  // "Write"
    void BitBtn2Click();  // "Default"
    void Button3Click();  // the "Apply" buttons
    void BitBtn7Click();
    void Button1Click();
    void Button13Click();
    void Button10Click();
    void Button11Click();
    void Button2Click();
    void Button4Click();
    void Button18Click();

    // Entering a field remembers its text; leaving it checks the text: kept
    // and saved, or replaced by the remembered one.
    void IN_APNEnter();
    void IN_APNExit();
    void IN_APNNAMEEnter();
    void IN_APNNAMEExit();
    void IN_APNPWEnter();
    void IN_APNPWExit();
    void IN_IPEnter();
    void IN_IPExit();
    void IN_PORTEnter();
    void IN_PORTExit();
    void IN_IDEnter();
    void IN_IDExit();
    void IN_GPRSTMEnter();
    void IN_GPRSTMExit();
    void IN_ATELEnter();
    void IN_ATELExit();
    void IN_ATMEnter();
    void IN_ATMExit();
    void IN_PWEnter();
    void IN_PWExit();
    void Edit7Enter();
    void Edit7Exit();
    void IN_SMS1Enter();
    void IN_SMS1Exit();
    void Edit1Enter();
    void Edit1Exit();
    void Edit2Enter();
    void Edit2Exit();
    void Edit3Enter();
    void Edit3Exit();

    // The saved settings and the parameter image, through FormSettings.
    void LoadSettings();
    void SaveSettings() override;  // does nothing while SaveEnabled is false
    void FieldsToImage() override;
    void ImageToFields() override;
    void ClearFields() override;

    // Runs `handler`; an error it lets out goes to the standard error box.
    void Guard(const std::function<void()>& handler);

    // The toolkit's modal box, for the handlers.
    BoxResult MessageBox(const std::string& text, const std::string& caption, BoxButtons buttons);

    // What the exchange controller needs of the window.
    bool AutoWriteChecked() override;
    void SetStatusText(const std::string& text) override;
    void ShowMessage(const std::string& text, const std::string& caption) override;
    void SetSaveEnabled(bool enabled) override { SaveEnabled = enabled; }
    bool FieldsCleared() override { return fields_cleared_; }

  private:
    void FieldEnter(Control& field);
    void FieldExit(Control& field);
    void CreateControls();
    void BindHandlers();
    std::function<void()> Guarded(std::function<void()> handler);

    Toolkit& toolkit_;
    FormSettings& settings_;
    std::string title_;
    std::map<std::string, Control*> controls_;
    bool fields_cleared_ = false;
};

}  // namespace qx17
