#pragma once
// A main window under test: its own settings file and temporary folder,
// scripted prompts, and the store created after the window, as at start-up.
#include "catalogue/UFormMain.h"
#include "catalogue/UKvApps.h"
#include "imaging/ThumbnailCache.h"
#include "platform/IniFile.h"
#include "platform/Stream.h"
#include "store/UDMMain.h"
#include "widgets/Prompts.h"

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>
#include <QListWidget>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <string>

// Sample files the window tests store, from tests/data.
inline const std::string kData = GMB_TEST_DATA;
inline const std::string kJpeg = kData + "/jpeg/testorig.jpg";
inline const std::string kGray = kData + "/jpeg/gray.jpg";
inline const std::string kBmp = kData + "/bmp/g/pal8.bmp";
inline const std::string kIco = kData + "/ico/idle.ico";
inline const std::string kGif = kData + "/gif-suite/four-colors.gif";
inline const std::string kWindow = "Kv Glimmerbox Window";

inline QApplication& TestApplication()
{
    static int argc = 1;
    static char name[] = "test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = QApplication::instance() ? nullptr : new QApplication(argc, argv);
    (void)app;
    return *qApp;
}

inline void ProcessEvents()
{
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
}

class FormFixture : public ::testing::Test {
protected:
    QTemporaryDir dir;
    ScopedScriptedPrompts prompts;
    std::unique_ptr<TFormMain> form;
    std::unique_ptr<TDMMain> store;

    void SetUp() override
    {
        TestApplication();
        IniFileName = IniFileNameFor(dir.path().toStdString());
        // Every test its own thumbnail cache, never the user's.
        qputenv("XDG_CACHE_HOME", dir.filePath("cache").toLocal8Bit());
        TThumbnailCache::ResetShared();
    }

    void TearDown() override
    {
        form.reset();
        store.reset();
        DMMain = nullptr;
        TThumbnailCache::ResetShared();
    }

    std::string Path(const std::string& name) const { return dir.filePath(QString::fromStdString(name)).toStdString(); }
    TIniFile Ini() const { return TIniFile(IniFileName); }

    // Creates the window and the store and shows it (first show: settings,
    // recent files, an empty untitled vault, the command line).
    TFormMain& Start(std::vector<std::string> commandLine = {})
    {
        form = std::make_unique<TFormMain>();
        form->CommandLine = std::move(commandLine);
        form->TempDir = dir.path().toStdString() + "/";
        store = std::make_unique<TDMMain>();
        DMMain = store.get();
        form->show();
        ProcessEvents();
        return *form;
    }

    // A record put straight into the store (the list is not refilled).
    void AddRecord(const std::string& name, const std::string& kind, const std::string& file, int w = 1, int h = 1)
    {
        DMMain->CDS.Append();
        DMMain->CDSFileName.SetAsString(name);
        DMMain->CDSDimX.SetAsInteger(w);
        DMMain->CDSDimY.SetAsInteger(h);
        DMMain->LoadImageFromFile(file);
        DMMain->CDSImageType.SetAsString(kind);
        DMMain->CDS.Post();
    }

    // A copy of a file at a path under the test's folder.
    std::string PutFile(const std::string& relative, const std::string& source) const
    {
        const std::string path = Path(relative);
        QDir().mkpath(QFileInfo(QString::fromStdString(path)).path());
        EXPECT_TRUE(QFile::copy(QString::fromStdString(source), QString::fromStdString(path))) << source;
        return path;
    }

    // Addresses dropped on the window through Qt's drag and drop, as a file
    // manager delivers them (Qt delivers a drop only to the widget that took
    // the drag in).
    void DropUrls(const QList<QUrl>& urls)
    {
        QMimeData mime;
        mime.setUrls(urls);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(form.get(), &enter);
        ASSERT_TRUE(enter.isAccepted());
        QDropEvent event(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(form.get(), &event);
        ProcessEvents();
    }

    // Every record as name/kind, whatever the kind filter lets through.
    std::vector<std::string> AllRecords() const
    {
        std::vector<std::string> names;
        TVaultTable& cds = DMMain->CDS;
        const bool filtered = cds.Filtered();
        cds.SetFiltered(false);
        for (cds.First(); !cds.Eof(); cds.Next())
            names.push_back(DMMain->CDSFileName.AsString() + "/" + DMMain->CDSImageType.AsString());
        cds.SetFiltered(filtered);
        return names;
    }

    // Closes the window and starts the program again on the same settings.
    void Restart()
    {
        ASSERT_TRUE(Close());
        form.reset();
        store.reset();
        DMMain = nullptr;
        Start();
    }

    // Selects as a user would; the window refreshes on the next turn of the event loop.
    void SelectRows(const std::vector<int>& rows)
    {
        form->ListView1->clearSelection();
        for (int r : rows)
            form->ListView1->item(r)->setSelected(true);
        ProcessEvents();
    }

    // Closes the window as the close box would; true when it closed.
    bool Close()
    {
        const bool closed = form->close();
        ProcessEvents();
        return closed;
    }
};

// A window already started, its status texts logged.
class StartedFormFixture : public FormFixture {
protected:
    std::vector<std::string> status;

    void SetUp() override
    {
        FormFixture::SetUp();
        Start();
        form->StatusLog = &status;
    }
};

// Five records of four kinds, names differing in letter case, put straight
// into the store (the search, the orders and the viewer step through them).
class FiveRecordsFixture : public StartedFormFixture {
protected:
    void Put(const std::string& name, const std::string& kind, const std::string& file, int w, int h)
    {
        AppendImageRecord(*DMMain, name, w, h, kind, ReadWholeFile(file));
    }

    // Sunset, sunrise, moon, SUNDAY and stars (the GIF given), then a fill.
    void Fill(const std::string& gif = GMB_TEST_DATA "/gif-suite/four-colors.gif", int gifSide = 4)
    {
        const std::string data = GMB_TEST_DATA;
        Put("Sunset", "J", data + "/jpeg/testorig.jpg", 227, 149);
        Put("sunrise", "B", data + "/bmp/g/pal8.bmp", 127, 64);
        Put("moon", "J", data + "/jpeg/gray.jpg", 128, 128);
        Put("SUNDAY", "I", data + "/ico/idle.ico", 32, 32);
        Put("stars", "G", gif, gifSide, gifSide);
        form->RefreshList();
    }
};

