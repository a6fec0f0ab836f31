#pragma once

// The download and finished pages in a real wizard behind a plain first page, as the main window
// orders them, recording every value the progress bar takes.

#include "DlrApp.h"
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
    DlrDownload *download = new DlrDownload(dlrApp, nullptr);
    DlrFinished *finished = new DlrFinished(dlrApp, nullptr);
    QList<int> bar;

    DownloadWizard()
    {
        for (QWizardPage *page : std::initializer_list<QWizardPage *>{start, download, finished})
            wizard.addPage(page);
        wizard.setButtonLayout({QWizard::Stretch, QWizard::BackButton, QWizard::NextButton,
                                QWizard::FinishButton});
        QObject::connect(download->findChild<QProgressBar *>(), &QProgressBar::valueChanged,
                         [this](int value) { bar.append(value); });
        wizard.show();
    }
    QString label(const char *name) const { return download->findChild<QLabel *>(name)->text(); }
    void enter() { wizard.next(); } // the download page starts on the queue
    QAbstractButton *back() const
    {
        return wizard.button(QWizard::CustomButton1);
    } // the page's own
};
