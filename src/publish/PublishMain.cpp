// quelmor-publish: the studio's tool that publishes a game release as an update.
#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>

#include "publish/Publish.h"

// Runs the tool on the command line; the exit status is RunPublish's.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const int status = publish::RunPublish(app.arguments().mid(1), out, err);
    out.flush();
    err.flush();
    return status;
}
