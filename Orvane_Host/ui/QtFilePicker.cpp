#include "Orvane_Host/ui/QtFilePicker.h"

#include <QFileDialog>

namespace orvane {

void QtFilePicker::chooseFiles(const std::string& message, const std::string& button, Done done) {
    auto* dialog = new QFileDialog(nullptr, QString::fromStdString(message));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setLabelText(QFileDialog::Accept, QString::fromStdString(button));
    QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, done](int result) {
        std::vector<std::filesystem::path> files;
        if (result == QDialog::Accepted)
            for (const auto& f : dialog->selectedFiles()) files.emplace_back(f.toStdString());
        done(std::move(files));
    });
    dialog->open();
}

}  // namespace orvane
