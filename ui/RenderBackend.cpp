#include "RenderBackend.h"

#include <QOpenGLContext>
#include <QQuickWindow>
#include <QSGRendererInterface>

void chooseSceneGraphBackend()
{
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND") && !QOpenGLContext().create())
        QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);
}
