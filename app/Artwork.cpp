#include "app/Artwork.h"

// The images live in a static library; naming them here pulls them into every
// program that shows one. (Q_INIT_RESOURCE cannot be used inside a namespace.)
static void initProgrammerResources() {
    Q_INIT_RESOURCE(resources);
}

QIcon programIcon() {
    initProgrammerResources();
    QIcon icon;
    icon.addFile(QStringLiteral(":/icon32.png"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/icon16.png"), QSize(16, 16));
    return icon;
}

QPixmap bannerPixmap() {
    initProgrammerResources();
    return QPixmap(QStringLiteral(":/banner.png"));
}
