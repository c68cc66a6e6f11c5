#include "params/field_descriptors.h"

#include "params/field_settings.h"

namespace qx17 {

namespace {

FieldDescriptor Field(const char* name, const char* control, const char* label, const char* unit,
                      ImageField place, FieldKind kind) {
    FieldDescriptor d;
    d.name = name;
    d.control = control;
    d.label = label;
    d.unit = unit;
    d.place = place;
    d.kind = kind;
    return d;
}

}  // namespace

const std::vector<FieldDescriptor>& FieldDescriptors() {
    using V = FieldValues;
    using R = FieldRule;
    using K = FieldKind;
    static const std::vector<FieldDescriptor> fields = [] {
        std::vector<FieldDescriptor> f;
        const auto text = [&f](const char* name, const char* control, const char* label,
                               const char* unit, ImageField place, std::string V::*member,
                               std::optional<R> rule, const char* fallback) {
            FieldDescriptor d = Field(name, control, label, unit, place, K::kText);
            d.text = member;
            d.rule = rule;
            d.fallback = fallback;
            f.push_back(d);
        };
        text("APN", "IN_APN", "APN", nullptr, kAPN, &V::APN, R::kText32, "CMNET");
        text("APN_NAME", "IN_APNNAME", "APN Account", nullptr, kAPN_NAME, &V::APN_NAME, R::kText20,
             nullptr);
        text("APN_PW", "IN_APNPW", "APN Password", nullptr, kAPN_PW, &V::APN_PW, R::kText20,
             nullptr);
        // Never entered in the window: only loaded, encoded and saved. Its
        // rule holds for profiles.
        text("DNS", "IN_DNS", "DNS", nullptr, kDNS, &V::DNS, R::kText16, nullptr);
        f.back().shown = false;
        text("GPRS_TM", "IN_GPRSTM", "Interval", "sec", kGPRS_TM, &V::GPRS_TM, R::kGprsInterval,
             "0");
        text("ID", "IN_ID", "Tracker ID", nullptr, kID, &V::ID, R::kTrackerId, nullptr);
        text("IP", "IN_IP", "IP", nullptr, kIP, &V::IP, R::kText32, kDefaultServer);
        text("Port", "IN_PORT", "Port", nullptr, kPort, &V::Port, R::kPortNumber, "8051");
        {
            FieldDescriptor gprs =
                Field("GPRS_EN", "SelGPRS", "GPRS", nullptr, kGPRS_MODE, K::kFlag);
            gprs.flag = &V::GPRS_EN;
            f.push_back(gprs);
            FieldDescriptor type =
                Field("GPRS_TYPE", "SelTCP", "TCP/UDP", nullptr, kGPRS_MODE, K::kList);
            type.index = &V::GPRS_TYPE;
            type.items = {"TCP", "UDP"};
            f.push_back(type);
        }
        text("SMS_OBJ", "IN_ATEL", "Tracking No", nullptr, kSMS_OBJ, &V::SMS_OBJ, R::kPhone,
             nullptr);
        text("SMS_INT", "IN_ATM", "Interval", "min", kSMS_INT, &V::SMS_INT, R::kSmsInterval, "0");
        text("PW", "IN_PW", "Password", nullptr, kPW, &V::PW, R::kPassword, "3794");
        text("Listen", "Edit7", "Wiretapping", nullptr, kListen, &V::Listen, R::kPhone, nullptr);
        text("SOS_NO", "IN_SMS1", "SOS No", nullptr, kSOS_NO, &V::SOS_NO, R::kPhone, nullptr);
        text("LOG_INT", "Edit1", "Logging", "sec", kLOG_INT, &V::LOG_INT, R::kPortNumber, "0");
        text("TimeZone", "Edit2", "Time Zone", "min", kTimeZone, &V::TimeZone, R::kTimeZoneMinutes,
             "0");
        text("SleepMode", "Edit3", "Power Saving", "min", kSleepMode, &V::SleepMode,
             R::kPowerSaving, "0");
        FieldDescriptor call =
            Field("CallReply", "ComboBox1", "Call For SMS", nullptr, kCallReply, K::kList);
        call.index = &V::CallReply;
        call.items = {"Disable", "Normal", "Google Map"};
        f.push_back(call);
        return f;
    }();
    return fields;
}

const FieldDescriptor* FieldNamed(std::string_view name) {
    for (const FieldDescriptor& field : FieldDescriptors()) {
        if (name == field.name) {
            return &field;
        }
    }
    return nullptr;
}

const FieldDescriptor* FieldOfControl(std::string_view control) {
    for (const FieldDescriptor& field : FieldDescriptors()) {
        if (control == field.control) {
            return &field;
        }
    }
    return nullptr;
}

}  // namespace qx17
