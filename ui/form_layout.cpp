#include "ui/form_layout.h"

#include <cstdio>
#include <cstdlib>

namespace qx17 {

namespace {

struct Builder {
    std::vector<ControlSpec> specs;

    ControlSpec& Add(const char* name, ControlKind kind, const char* parent, Rect rect,
                     const char* text, int tab) {
        ControlSpec spec;
        spec.name = name;
        spec.kind = kind;
        spec.parent = parent;
        spec.rect = rect;
        spec.text = text;
        spec.tab_order = tab;
        spec.can_focus = kind != ControlKind::Label && kind != ControlKind::GroupBox &&
                         kind != ControlKind::StatusBar;
        spec.accessible_name = text;
        specs.push_back(std::move(spec));
        return specs.back();
    }
    ControlSpec& Label(const char* name, const char* parent, Rect rect, const char* text,
                       TextAlign align = TextAlign::Left, FontStyle font = FontStyle::Normal) {
        ControlSpec& spec = Add(name, ControlKind::Label, parent, rect, text, -1);
        spec.align = align;
        spec.font = font;
        return spec;
    }
    // Unit labels ("sec", "min"): 10 point, some centred.
    ControlSpec& Unit(const char* name, const char* parent, Rect rect, const char* text,
                      TextAlign align = TextAlign::Left) {
        return Label(name, parent, rect, text, align, FontStyle::Large);
    }
    ControlSpec& Edit(const char* name, const char* parent, Rect rect, const char* text, int tab,
                      const char* accessible) {
        ControlSpec& spec = Add(name, ControlKind::Edit, parent, rect, text, tab);
        spec.accessible_name = accessible;
        return spec;
    }
    ControlSpec& Apply(const char* name, const char* parent, Rect rect, int tab, const char* what) {
        ControlSpec& spec = Add(name, ControlKind::Button, parent, rect, "Apply", tab);
        spec.accessible_name = std::string("Apply ") + what;
        return spec;
    }
    ControlSpec& List(const char* name, const char* parent, Rect rect,
                      std::vector<std::string> items, int tab, const char* accessible) {
        ControlSpec& spec = Add(name, ControlKind::ComboBox, parent, rect, "", tab);
        spec.items = std::move(items);
        spec.item_index = 0;
        spec.accessible_name = accessible;
        return spec;
    }
};

std::vector<ControlSpec> BuildLayout() {
    Builder b;
    const char* form = "";
    const TextAlign centre = TextAlign::Center;

    // The window's own controls.
    b.Add("BitBtn1", ControlKind::Button, form, {88, 5, 57, 23}, "Start", 0).font =
        FontStyle::LargeBold;
    {
        std::vector<std::string> ports;
        for (int n = 1; n <= 32; ++n) {
            ports.push_back("COM" + std::to_string(n));
        }
        ControlSpec& com = b.List("ComboBox4", form, {8, 5, 73, 24}, ports, 1, "Serial port");
        com.drop_down_count = 16;
        com.font = FontStyle::LargeBold;
    }
    b.Add("GroupBox1", ControlKind::GroupBox, form, {8, 40, 537, 131}, "GPRS ", 2);
    b.Add("GroupBox3", ControlKind::GroupBox, form, {8, 179, 537, 47}, "  SMS  Tracking", 3);
    b.Add("BitBtn2", ControlKind::Button, form, {479, 5, 65, 23}, "Default", 4).font =
        FontStyle::LargeBold;
    b.Add("BitBtn4", ControlKind::Button, form, {218, 5, 57, 23}, "Read", 5).font =
        FontStyle::LargeBold;
    b.Add("BitBtn3", ControlKind::Button, form, {356, 5, 57, 23}, "Write", 6).font =
        FontStyle::LargeBold;
    b.Add("GroupBox2", ControlKind::GroupBox, form, {8, 231, 537, 130}, "", 7).accessible_name =
        "Settings";
    b.Add("CheckBox1", ControlKind::CheckBox, form, {424, 9, 46, 17}, "Auto", 8).font =
        FontStyle::NormalBold;
    {
        ControlSpec& bar =
            b.Add("StatusBar1", ControlKind::StatusBar, form, {0, 370, 556, 19}, "", -1);
        bar.panel_widths = {290, 50};
        bar.accessible_name = "Status";
    }
    {
        ControlSpec& dns = b.Edit("IN_DNS", form, {624, 96, 113, 21}, "", 10, "DNS");
        dns.visible = false;
        dns.can_focus = false;
        dns.tab_order = -1;  // never takes the focus
    }

    // GroupBox1, "GPRS ".
    const char* g1 = "GroupBox1";
    b.Add("SelGPRS", ControlKind::CheckBox, g1, {8, 18, 57, 21}, "GPRS", 8);
    b.List("SelTCP", g1, {72, 18, 56, 21}, {"TCP", "UDP"}, 7, "GPRS protocol");
    b.Label("Label11", g1, {264, 18, 61, 21}, "Tracker ID");
    b.Edit("IN_ID", g1, {352, 18, 176, 21}, "", 4, "Tracker ID");
    b.Label("Label10", g1, {10, 45, 25, 21}, "APN");
    b.Edit("IN_APN", g1, {72, 45, 177, 21}, "CMNET", 0, "APN");
    b.Label("Label19", g1, {264, 45, 69, 21}, "APN Account");
    b.Edit("IN_APNNAME", g1, {352, 45, 177, 21}, "", 1, "APN Account");
    b.Label("Label12", g1, {10, 72, 17, 21}, "IP");
    b.Edit("IN_IP", g1, {72, 72, 177, 21}, "", 5, "IP");
    b.Label("Label22", g1, {264, 72, 75, 21}, "APN Password");
    b.Edit("IN_APNPW", g1, {352, 72, 177, 21}, "", 2, "APN Password");
    b.Label("Label13", g1, {10, 100, 25, 21}, "Port");
    b.Edit("IN_PORT", g1, {72, 100, 177, 21}, "", 6, "Port");
    b.Label("Label2", g1, {264, 100, 45, 21}, "Interval");
    b.Edit("IN_GPRSTM", g1, {352, 100, 85, 21}, "", 3, "GPRS Interval");
    b.Unit("Label20", g1, {440, 100, 26, 21}, "sec");
    b.Apply("BitBtn7", g1, {480, 100, 49, 21}, 9, "GPRS");

    // GroupBox3, "  SMS  Tracking".
    const char* g3 = "GroupBox3";
    b.Label("Label3", g3, {8, 17, 59, 21}, "Tracking No", centre);
    b.Edit("IN_ATEL", g3, {83, 17, 167, 21}, "", 0, "Tracking No");
    b.Label("Label4", g3, {264, 18, 41, 21}, "Interval", centre);
    b.Edit("IN_ATM", g3, {352, 17, 85, 21}, "", 1, "SMS Tracking Interval");
    b.Unit("Label21", g3, {440, 17, 26, 21}, "min");
    b.Apply("Button1", g3, {480, 17, 49, 21}, 2, "SMS Tracking");

    // GroupBox2, no caption.
    const char* g2 = "GroupBox2";
    b.Label("Label8", g2, {8, 12, 49, 21}, "Password");
    b.Edit("IN_PW", g2, {84, 12, 108, 21}, "3794", 4, "Password");
    b.Apply("Button3", g2, {203, 12, 49, 21}, 5, "Password");
    b.Label("Label26", g2, {264, 12, 41, 21}, "Logging", centre);
    b.Edit("Edit1", g2, {352, 12, 85, 21}, "", 0, "Logging");
    b.Unit("Label28", g2, {437, 12, 30, 21}, "sec", centre);
    b.Apply("Button10", g2, {480, 12, 49, 21}, 2, "Logging");
    b.Label("Label34", g2, {8, 41, 60, 21}, "Wiretapping", centre);
    b.Edit("Edit7", g2, {83, 41, 108, 21}, "", 7, "Wiretapping");
    b.Apply("Button13", g2, {203, 41, 49, 21}, 6, "Wiretapping");
    b.Label("Label27", g2, {264, 41, 50, 21}, "Time Zone", centre);
    b.Edit("Edit2", g2, {352, 41, 85, 21}, "", 1, "Time Zone");
    b.Unit("Label29", g2, {437, 41, 30, 21}, "min", centre);
    b.Apply("Button11", g2, {480, 41, 49, 21}, 3, "Time Zone");
    b.Label("Label9", g2, {8, 70, 41, 21}, "SOS No");
    b.Edit("IN_SMS1", g2, {82, 70, 108, 21}, "", 9, "SOS No");
    b.Apply("Button2", g2, {203, 70, 49, 21}, 10, "SOS No");
    b.Label("Label1", g2, {264, 70, 68, 21}, "Power Saving");
    b.Edit("Edit3", g2, {352, 70, 85, 21}, "", 13, "Power Saving");
    b.Unit("Label6", g2, {437, 70, 29, 21}, "min", centre);
    b.Apply("Button4", g2, {480, 70, 49, 21}, 12, "Power Saving");
    b.Label("Label5", g2, {8, 99, 63, 21}, "Call For SMS");
    b.List("ComboBox1", g2, {82, 99, 109, 21}, {"Disable", "Normal", "Google Map"}, 11,
           "Call For SMS");
    b.Apply("Button18", g2, {204, 100, 49, 21}, 8, "Call For SMS");
    return b.specs;
}

}  // namespace

const std::vector<ControlSpec>& Form1Layout() {
    static const std::vector<ControlSpec> layout = BuildLayout();
    return layout;
}

const ControlSpec& Form1Spec(const std::string& name) {
    for (const ControlSpec& spec : Form1Layout()) {
        if (spec.name == name) {
            return spec;
        }
    }
    std::fprintf(stderr, "qx17eep: no control '%s' in the layout\n", name.c_str());
    std::abort();
}

}  // namespace qx17
