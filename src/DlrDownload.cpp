#include "DlrDownload.h"

#include "DlrApp.h"

#include <QAbstractButton>
#include <QDebug>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QWizard>

namespace {
// How long each while-you-wait picture stays before the next one.
constexpr int WhileUWaitIntervalMs = 8000;
} // namespace

DlrDownload::DlrDownload(DlrApp *app, QWidget *parent)
    : QWizardPage(parent)
    , app(app)
    , queue(new DlrInstallQueue(app, this))
{
    artworkLabel = new QLabel(this);
    artworkLabel->setObjectName(QStringLiteral("downloadArtwork"));
    progressBar = new QProgressBar(this);
    progressBar->setMinimum(0);
    progressBar->setMaximum(ProgressMaximum);
    statusLabel = new QLabel(QStringLiteral("Download/Installing"), this);
    statusLabel->setObjectName(QStringLiteral("downloadStatus"));
    amountLabel = new QLabel(this);
    amountLabel->setObjectName(QStringLiteral("downloadAmount"));
    rateLabel = new QLabel(this);
    rateLabel->setObjectName(QStringLiteral("downloadRate"));

    auto *layout = new QVBoxLayout;
    setLayout(layout);
    auto *artworkRow = new QHBoxLayout;
    artworkRow->addStretch();
    artworkRow->addWidget(artworkLabel);
    artworkRow->addStretch();
    layout->addLayout(artworkRow);
    layout->addWidget(progressBar);
    layout->addWidget(statusLabel);
    layout->addWidget(amountLabel);
    layout->addWidget(rateLabel);
    artworkLabel->setPixmap(whileUWaitPixmap());

    setSubTitle(tr(" "));
    setPixmap(QWizard::BannerPixmap, app->GetPixmap("downloadBanner.png"));

    whileUWaitTimer = new QTimer(this);
    whileUWaitTimer->setSingleShot(true);
    whileUWaitTimer->setInterval(WhileUWaitIntervalMs);
    connect(whileUWaitTimer, &QTimer::timeout, this, &DlrDownload::nextWhileUWait);

    connect(queue, &DlrInstallQueue::progressChanged, progressBar, &QProgressBar::setValue);
    connect(queue, &DlrInstallQueue::statusChanged, statusLabel, &QLabel::setText);
    connect(queue, &DlrInstallQueue::amountChanged, amountLabel, &QLabel::setText);
    connect(queue, &DlrInstallQueue::rateChanged, rateLabel, &QLabel::setText);
    connect(queue, &DlrInstallQueue::boxNeeded, this, &DlrDownload::askBox);
    connect(queue, &DlrInstallQueue::goBack, this, [this] { wizard()->back(); });
    connect(queue, &DlrInstallQueue::queueFinished, this, &DlrDownload::queueDone);
    connect(queue, &DlrInstallQueue::runStopped, this,
            [app](int code) { app->endRun(DlrExitCode::Code(code)); });
}

void DlrDownload::askBox(const DlrMessageBox::Spec &box)
{
    queue->answerBox(box.id, DlrMessageBox::show(box));
}

// ---------------------------------------------------------------------------------------------
// Entering and leaving the page

void DlrDownload::initializePage()
{
    qDebug() << "Download";
    progressBar->reset();
    whileUWaitTimer->start();
    queue->start();

    // The page's own Back button stands in for the wizard's, so going back can be guarded.
    QWizard *w = wizard();
    w->setButtonLayout(
            {QWizard::Stretch, QWizard::CustomButton1, QWizard::NextButton, QWizard::FinishButton});
    w->setButtonText(QWizard::CustomButton1, w->buttonText(QWizard::BackButton));
    if (!backButtonConnected) {
        backButtonConnected = true;
        connect(w->button(QWizard::CustomButton1), &QAbstractButton::clicked, this,
                &DlrDownload::back);
    }
}

void DlrDownload::cleanupPage()
{
    wizard()->setButtonLayout(
            {QWizard::Stretch, QWizard::BackButton, QWizard::NextButton, QWizard::FinishButton});
    amountLabel->clear();
    rateLabel->clear();
    whileUWaitTimer->stop();
}

bool DlrDownload::isComplete() const
{
    return queue->isDone();
}

bool DlrDownload::validatePage()
{
    return queue->isDone();
}

void DlrDownload::queueDone()
{
    Q_EMIT completeChanged();
    whileUWaitTimer->stop();
    // From the event loop: the queue can complete while the wizard is still switching to this
    // page (every product already on disk), and the wizard must have arrived before it moves on.
    QTimer::singleShot(0, this, [this] {
        if (wizard() && wizard()->currentPage() == this)
            wizard()->next();
    });
}

// ---------------------------------------------------------------------------------------------
// While-you-wait artwork

QPixmap DlrDownload::whileUWaitPixmap()
{
    const auto load = [this](int number) {
        return app->GetPixmap(
                QStringLiteral("whileUWait-%1.png").arg(number).toLocal8Bit().constData());
    };
    QPixmap image;
    do {
        image = load(whileUWaitIndex);
        ++whileUWaitIndex;
    } while (image.isNull() && whileUWaitIndex < WhileUWaitLimit);
    if (image.isNull()) {
        image = load(1);
        whileUWaitIndex = 2;
    }
    return image;
}

void DlrDownload::nextWhileUWait()
{
    // When image 1 is missing the sequence wraps through an empty result; ask once more
    // rather than show an empty frame.
    QPixmap image = whileUWaitPixmap();
    if (image.isNull())
        image = whileUWaitPixmap();
    if (!image.isNull())
        artworkLabel->setPixmap(image);
    whileUWaitTimer->start();
}
