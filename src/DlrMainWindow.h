#pragma once

#include <QWizard>

class DlrApp;

// The one top-level window: a wizard running strictly forward and back through the sign-in,
// selection, download and finished pages (ids 0 to 3). All decisions live in the pages.
class DlrMainWindow : public QWizard
{
    Q_OBJECT

public:
    explicit DlrMainWindow(DlrApp *app);

    QSize sizeHint() const override;
};
