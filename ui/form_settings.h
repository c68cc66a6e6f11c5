// Where the window keeps its values between runs and how they reach the
// parameter image: LoadSettings fills the fields at start-up, SaveSettings
// stores them after every accepted change, FieldsToImage encodes them.
// The window calls them through this seam; tests substitute a recorder.
#pragma once

namespace qx17 {

class TForm1;

class FormSettings {
  public:
    virtual ~FormSettings() = default;
    virtual void LoadSettings(TForm1& form) = 0;
    // Called only while saving is enabled.
    virtual void SaveSettings(TForm1& form) = 0;
    virtual void FieldsToImage(TForm1& form) = 0;
};

}  // namespace qx17

namespace qx17 {

// The settings the program runs with: the 21 values in the registry of the
// current user (the settings file elsewhere), with their defaults.
FormSettings& DefaultFormSettings();

}  // namespace qx17
