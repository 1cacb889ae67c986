#include "Orvane_Host/ui/QtFilePicker.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <filesystem>
#include <fstream>
#include <optional>

#include "OrvaneKit/base/Uuid.h"
#include "Orvane_Host/ui/testing_support/QtTestApp.h"

using namespace orvane;

namespace {

QFileDialog* openDialog() {
    for (auto* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<QFileDialog*>(w); d && d->isVisible()) return d;
    return nullptr;
}

TEST(QtFilePicker, ChosenFilesComeBackAndCancelGivesNone) {
    QtTestApp::ensure();
    auto dir =
        std::filesystem::temp_directory_path() / ("orvane-picker-" + Uuid::random().string());
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "a b.txt") << "x";
    QtFilePicker picker;

    std::optional<std::vector<std::filesystem::path>> chosen;
    picker.chooseFiles("Choose files to send", "Send", [&](auto files) { chosen = files; });
    auto* dialog = openDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFiles);
    EXPECT_EQ(dialog->labelText(QFileDialog::Accept), "Send");
    // Shown without a loop of its own: nothing has been answered yet.
    EXPECT_FALSE(chosen);
    dialog->setDirectory(QString::fromStdString(dir.string()));
    dialog->selectFile(QString::fromStdString((dir / "a b.txt").string()));
    QMetaObject::invokeMethod(dialog, "accept");
    ASSERT_TRUE(chosen);
    EXPECT_EQ(*chosen, (std::vector<std::filesystem::path>{dir / "a b.txt"}));

    chosen.reset();
    picker.chooseFiles("Choose files to send", "Send", [&](auto files) { chosen = files; });
    ASSERT_NE(openDialog(), nullptr);
    openDialog()->reject();
    ASSERT_TRUE(chosen);
    EXPECT_TRUE(chosen->empty());
    std::filesystem::remove_all(dir);
}

}  // namespace
