// The progress dialog template: found in the program's module, laid out so
// that every control lies inside the dialog and the status line inside its
// group box.
#include <gtest/gtest.h>

#include <set>

#include "platform/dialogs.h"
#include "resources/progress_dialog.h"

namespace {

bool inside(short x, short y, short cx, short cy, short ox, short oy, short ocx, short ocy) {
  return x >= ox && y >= oy && x + cx <= ox + ocx && y + cy <= oy + ocy;
}

const DialogControl* control(int id) {
  for (int i = 0; i < kProgressDialog.control_count; ++i)
    if (kProgressDialog.controls[i].id == id) return &kProgressDialog.controls[i];
  return nullptr;
}

TEST(ProgressDialog, TheModuleHoldsIt) {
  EXPECT_EQ(qb_find_dialog_template(qb_resources(), IDD_PROGRESS), &kProgressDialog);
  EXPECT_EQ(qb_find_dialog_template(qb_resources(), IDD_PROGRESS + 1), nullptr);
}

TEST(ProgressDialog, LayoutIsConsistent) {
  const DialogTemplate& t = kProgressDialog;
  std::set<int> ids;
  for (int i = 0; i < t.control_count; ++i) {
    const DialogControl& c = t.controls[i];
    EXPECT_TRUE(inside(c.x, c.y, c.cx, c.cy, 0, 0, t.cx, t.cy)) << "control " << c.id;
    EXPECT_TRUE(c.id == -1 || ids.insert(c.id).second) << "control " << c.id << " twice";
  }
  const DialogControl* status = control(IDC_STATUS);
  const DialogControl* group = control(IDC_GROUP);
  ASSERT_NE(status, nullptr);
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(status->cls, ControlClass::kStatic);
  EXPECT_EQ(group->style & 0xF, BS_GROUPBOX);
  EXPECT_TRUE(inside(status->x, status->y, status->cx, status->cy, group->x, group->y, group->cx, group->cy));
  EXPECT_STREQ(status->text, "");
  EXPECT_NE(t.style & WS_VISIBLE, 0u);  // shown on creation, without a ShowWindow
}

}  // namespace
