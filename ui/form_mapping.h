// Between the window's fields and the parameter image.
#pragma once

namespace qx17 {

class TForm1;

// Encodes every mapped field into ParamImage, in the fixed field order. A
// conversion error stops it at that field: the fields before are written,
// the later ones keep their bytes, and the error goes to the caller.
void FieldsToImage(TForm1& form);

// Shows every mapped field of ParamImage in its control. Run it with saving
// suspended: setting "GPRS" raises its click handler, which saves.
void ImageToFields(TForm1& form);

}  // namespace qx17
