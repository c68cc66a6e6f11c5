// The focus rules every toolkit follows: what a move of the focus runs, and
// what it no longer runs once an exit handler moved the focus on itself.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/toolkit.h"

namespace qx17 {
namespace {

using testing::ElementsAre;

class Field final : public Control {
  public:
    Field(const std::string& name, ControlKind kind) : Control(Spec(name, kind)) {}
    std::string Text() const override { return {}; }
    void SetText(const std::string&) override {}

  private:
    static ControlSpec Spec(const std::string& name, ControlKind kind) {
        ControlSpec spec;
        spec.name = name;
        spec.kind = kind;
        return spec;
    }
};

TEST(FocusRules, AMoveRunsTheExitLeftThenTheEnterReachedUnlessTheExitMovedOn) {
    FocusRules rules;
    Field a("A", ControlKind::Edit);
    Field b("B", ControlKind::Edit);
    Field c("C", ControlKind::Edit);
    Field button("Button", ControlKind::Button);
    std::vector<std::string> ran;
    for (Field* field : {&a, &b, &c, &button}) {
        field->OnEnter = [&ran, field] { ran.push_back("enter " + field->Name()); };
        field->OnExit = [&ran, field] { ran.push_back("exit " + field->Name()); };
    }
    rules.MovedTo(a);
    rules.MovedTo(a);  // the same control again
    rules.MovedTo(button);
    rules.MovedTo(b);
    EXPECT_THAT(ran, ElementsAre("enter A", "exit A", "enter B")) << "a button has neither";

    // B's exit moves the focus on to C itself: the move to A that caused it
    // runs no enter of A afterwards, and C stays focused.
    ran.clear();
    b.OnExit = [&] {
        ran.push_back("exit B");
        rules.MovedTo(c);
    };
    rules.MovedTo(a);
    EXPECT_THAT(ran, ElementsAre("exit B", "exit A", "enter C"));
    EXPECT_EQ(rules.Focused(), &c);

    ran.clear();
    rules.WindowClosing();
    EXPECT_THAT(ran, ElementsAre("exit C"));
    EXPECT_EQ(rules.Focused(), nullptr);
}

}  // namespace
}  // namespace qx17
