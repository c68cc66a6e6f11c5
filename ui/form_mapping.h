// Between the window's fields and the parameter image: the window's side of
// params/field_values.h.
#pragma once

#include "params/field_values.h"

namespace qx17 {

class TForm1;

// The fields' values as the controls hold them now.
FieldValues ReadFieldValues(TForm1& form);

// Sets the controls to `values`, GPRS and its list first. Run it with saving
// suspended: setting "GPRS" raises its click handler, which saves.
void ShowFieldValues(TForm1& form, const FieldValues& values);

// Encodes every mapped field into ParamImage, in the fixed field order. A
// conversion error stops it at that field: the fields before are written,
// the later ones keep their bytes, and the error goes to the caller.
void FieldsToImage(TForm1& form);

// Shows every mapped field of ParamImage in its control, with saving
// suspended as above.
void ImageToFields(TForm1& form);

}  // namespace qx17
