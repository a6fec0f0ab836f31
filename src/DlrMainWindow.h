#pragma once

#include <QWizard>

// The one top-level window: a wizard running strictly forward and back through the sign-in,
// selection, download and finished pages (ids 0 to 3). All decisions live in the pages.
class DlrMainWindow : public QWizard
{
    Q_OBJECT

public:
    DlrMainWindow();

    QSize sizeHint() const override;
};
