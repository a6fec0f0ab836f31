#pragma once

// A wizard of three pages for the download page's tests: a plain page standing for the
// selection page, then the download and finished pages, as the main window orders them. It
// records every value the progress bar takes.

#include "DlrDownload.h"
#include "DlrFinished.h"

#include <QAbstractButton>
#include <QLabel>
#include <QProgressBar>
#include <QWizard>

struct DownloadWizard
{
    QWizard wizard;
    QWizardPage *start = new QWizardPage;
    DlrDownload *download = new DlrDownload(nullptr);
    DlrFinished *finished = new DlrFinished(nullptr);
    QList<int> bar;

    DownloadWizard()
    {
        wizard.addPage(start);
        wizard.addPage(download);
        wizard.addPage(finished);
        wizard.setButtonLayout({QWizard::Stretch, QWizard::BackButton, QWizard::NextButton,
                                QWizard::FinishButton});
        QObject::connect(progressBar(), &QProgressBar::valueChanged,
                         [this](int value) { bar.append(value); });
        wizard.show();
    }
    QProgressBar *progressBar() const { return download->findChild<QProgressBar *>(); }
    QLabel *label(const char *name) const
    {
        return download->findChild<QLabel *>(QLatin1String(name));
    }
    // Next from the first page: the download page starts on the queue.
    void enter() { wizard.next(); }
    // The download page's own Back button.
    QAbstractButton *backButton() const { return wizard.button(QWizard::CustomButton1); }
};
