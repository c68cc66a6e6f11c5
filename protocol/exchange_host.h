// What the exchange controller needs from the window it works for: the "Auto"
// box, the status bar, modal boxes, and the fields with the saved settings.
#pragma once

#include <string>

namespace qx17 {

class ExchangeHost {
  public:
    virtual ~ExchangeHost() = default;

    virtual bool AutoWriteChecked() = 0;                      // "Auto"
    virtual void SetStatusText(const std::string& text) = 0;  // status panel 0
    // A modal box with an OK button; ticks and chunks go on while it is open.
    virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;

    virtual void SetSaveEnabled(bool enabled) = 0;
    virtual void ClearFields() = 0;
    virtual void ImageToFields() = 0;
    virtual void FieldsToImage() = 0;
    virtual void SaveSettings() = 0;
    // True from ClearFields until ImageToFields has filled the fields again.
    virtual bool FieldsCleared() = 0;
};

}  // namespace qx17
