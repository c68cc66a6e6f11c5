#include "params/field_settings.h"

namespace qx17 {

namespace {

// The item index a list shows for a stored index: none outside the list.
int ListIndex(std::int32_t stored, int items) {
    return stored >= 0 && stored < items ? stored : -1;
}

}  // namespace

void LoadFieldValues(SettingsReader& reader, FieldValues& v) {
    v.APN = reader.Text("APN");
    v.APN_NAME = reader.Text("APN_NAME");
    v.APN_PW = reader.Text("APN_PW");
    v.DNS = reader.Text("DNS");
    v.GPRS_TM = reader.Text("GPRS_TM");
    v.ID = reader.Text("ID");
    v.IP = reader.Text("IP");
    v.Port = reader.Text("Port");
    v.GPRS_TYPE = ListIndex(reader.Number("GPRS_TYPE"), 2);
    if ((reader.Number("GPRS_EN") & 0xFF) != 0) {
        v.GPRS_EN = true;  // only ever checks
    }
    v.SMS_OBJ = reader.Text("SMS_OBJ");
    v.SMS_INT = reader.Text("SMS_INT");
    v.PW = reader.Text("PW");
    v.Listen = reader.Text("Listen");
    v.SOS_NO = reader.Text("SOS_NO");
    v.LOG_INT = reader.Text("LOG_INT");
    v.TimeZone = reader.Text("TimeZone");
    v.SleepMode = reader.Text("SleepMode");
    v.CallReply = ListIndex(reader.Number("CallReply"), 3);

    const struct {
        std::string* field;
        const char* fallback;
    } defaults[] = {
        {&v.APN, "CMNET"}, {&v.GPRS_TM, "0"},  {&v.IP, kDefaultServer},
        {&v.Port, "8051"}, {&v.SMS_INT, "0"},  {&v.PW, "3794"},
        {&v.LOG_INT, "0"}, {&v.TimeZone, "0"}, {&v.SleepMode, "0"},
    };
    for (const auto& d : defaults) {
        if (d.field->empty()) {
            *d.field = d.fallback;
        }
    }
}

void SaveFieldValues(SettingsWriter& writer, const FieldValues& v) {
    writer.Text("APN", v.APN);
    writer.Text("APN_NAME", v.APN_NAME);
    writer.Text("APN_PW", v.APN_PW);
    writer.Text("DNS", v.DNS);
    writer.Text("GPRS_TM", v.GPRS_TM);
    writer.Text("ID", v.ID);
    writer.Text("IP", v.IP);
    writer.Text("Port", v.Port);
    writer.Number("GPRS_EN", v.GPRS_EN ? 1 : 0);
    writer.Number("GPRS_TYPE", v.GPRS_TYPE);
    writer.Text("SMS_OBJ", v.SMS_OBJ);
    writer.Text("SMS_INT", v.SMS_INT);
    writer.Text("PW", v.PW);
    writer.Text("Listen", v.Listen);
    writer.Text("SOS_NO", v.SOS_NO);
    writer.Text("LOG_INT", v.LOG_INT);
    writer.Text("TimeZone", v.TimeZone);
    writer.Text("SleepMode", v.SleepMode);
    writer.Number("CallReply", v.CallReply);
}

}  // namespace qx17
