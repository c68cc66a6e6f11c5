#include "ctl/field_table.h"

namespace qx17::ctl {

std::string FieldRow::Stored(const FieldValues& values) const {
    return IsText() ? values.*text : std::to_string(number(values));
}

std::string FieldRow::Shown(const FieldValues& values) const {
    if (IsText()) {
        return values.*text;
    }
    const int n = number(values);
    if (items.empty()) {
        return n != 0 ? "on" : "off";
    }
    return n >= 0 && static_cast<std::size_t>(n) < items.size() ? items[static_cast<std::size_t>(n)]
                                                                : "(none)";
}

const std::vector<FieldRow>& FieldRows() {
    using V = FieldValues;
    static const std::vector<FieldRow> rows = {
        {"APN", "APN", kAPN, true, &V::APN, nullptr, {}},
        {"APN_NAME", "APN Account", kAPN_NAME, true, &V::APN_NAME, nullptr, {}},
        {"APN_PW", "APN Password", kAPN_PW, true, &V::APN_PW, nullptr, {}},
        {"DNS", "DNS", kDNS, false, &V::DNS, nullptr, {}},
        {"GPRS_TM", "Interval (sec)", kGPRS_TM, true, &V::GPRS_TM, nullptr, {}},
        {"ID", "Tracker ID", kID, true, &V::ID, nullptr, {}},
        {"IP", "IP", kIP, true, &V::IP, nullptr, {}},
        {"Port", "Port", kPort, true, &V::Port, nullptr, {}},
        {"GPRS_EN",
         "GPRS",
         kGPRS_MODE,
         true,
         nullptr,
         [](const V& v) { return v.GPRS_EN ? 1 : 0; },
         {}},
        {"GPRS_TYPE",
         "TCP/UDP",
         kGPRS_MODE,
         true,
         nullptr,
         [](const V& v) { return v.GPRS_TYPE; },
         {"TCP", "UDP"}},
        {"SMS_OBJ", "Tracking No", kSMS_OBJ, true, &V::SMS_OBJ, nullptr, {}},
        {"SMS_INT", "Interval (min)", kSMS_INT, true, &V::SMS_INT, nullptr, {}},
        {"PW", "Password", kPW, true, &V::PW, nullptr, {}},
        {"Listen", "Wiretapping", kListen, true, &V::Listen, nullptr, {}},
        {"SOS_NO", "SOS No", kSOS_NO, true, &V::SOS_NO, nullptr, {}},
        {"LOG_INT", "Logging (sec)", kLOG_INT, true, &V::LOG_INT, nullptr, {}},
        {"TimeZone", "Time Zone (min)", kTimeZone, true, &V::TimeZone, nullptr, {}},
        {"SleepMode", "Power Saving (min)", kSleepMode, true, &V::SleepMode, nullptr, {}},
        {"CallReply",
         "Call For SMS",
         kCallReply,
         true,
         nullptr,
         [](const V& v) { return v.CallReply; },
         {"Disable", "Normal", "Google Map"}},
    };
    return rows;
}

}  // namespace qx17::ctl
