#include "ui/form_settings.h"

namespace qx17 {

namespace {

// Until the parameter model lands, the window keeps no values between runs.
class NoSettings final : public FormSettings {
  public:
    void LoadSettings(TForm1&) override {}
    void SaveSettings(TForm1&) override {}
    void FieldsToImage(TForm1&) override {}
};

}  // namespace

FormSettings& DefaultFormSettings() {
    static NoSettings settings;
    return settings;
}

}  // namespace qx17
