// glimmerbox-vault COMMAND [options] VAULT ...: list, stat, add, extract,
// remove, rename and check the images of a vault without a window, and set
// its password.
#include "VaultTool.h"

#include "imaging/ThumbnailCache.h"
#include "platform/Exception.h"
#include "platform/Paths.h"
#include "platform/QtMessages.h"
#include "store/UDMMain.h"
#include "store/VaultFile.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstring>
#include <utility>
#include <functional>
#include <unistd.h>

using namespace vaulttool;

namespace {

const char* const kUsage =
    "Usage: glimmerbox-vault COMMAND [options] VAULT [ARGUMENTS]\n"
    "\n"
    "Works on the images of a Glimmerbox vault (*.gmb) without a window.\n"
    "\n"
    "Commands:\n"
    "  list VAULT                      name, kind, width, height and stored bytes of each image\n"
    "  stat VAULT                      how many images of each kind\n"
    "  add VAULT FILE|FOLDER...        add image files (folders recursively); creates the vault\n"
    "  extract VAULT [NAME.EXT...] -o DIR   write images out as files (all when none named)\n"
    "  remove VAULT NAME.EXT...        delete images\n"
    "  rename VAULT OLD.EXT NEW        rename one image\n"
    "  check VAULT                     make every image's thumbnail; list the damaged ones\n"
    "  passwd VAULT [--remove]         set, change or remove the password (the images are encrypted)\n"
    "\n"
    "Every command takes --password PASSWORD for a protected vault (asked on a terminal\n"
    "when left out) and --help. Exit status: 0 success, 1 failure, 2 wrong usage.\n";

enum class Access { Read, Write, WriteOrCreate };

struct TCommand {
    const char* name;
    const char* description;
    const char* arguments;   // as the usage line shows them
    int minArgs;             // after VAULT
    int maxArgs;             // after VAULT; -1: any number
    Access access;
};

const TCommand kCommands[] = {
    {"list", "Lists the images of the vault: file name, kind, width, height, stored bytes (tab-separated).", "", 0, 0, Access::Read},
    {"stat", "Counts the images of each kind.", "", 0, 0, Access::Read},
    {"add", "Adds image files; folders are searched recursively for .bmp, .ico, .emf, .wmf, .gif, .jpg, .jpeg,\n"
            ".png, .webp, .tif, .tiff, .heic, .heif and .avif.\n"
            "An image whose name and kind are already in the vault is skipped unless --replace;\n"
            "one whose name differs only in letter case is not stored unless --replace.\n"
            "A vault that does not exist yet is created.",
     "FILE|FOLDER...", 1, -1, Access::WriteOrCreate},
    {"extract", "Writes images out as files into DIR (all of them when none is named).", "[NAME.EXT...]", 0, -1, Access::Read},
    {"remove", "Deletes images from the vault.", "NAME.EXT...", 1, -1, Access::Write},
    {"rename", "Renames one image.", "OLD.EXT NEW", 2, 2, Access::Write},
    {"check", "Makes every image's thumbnail as the window's list does; lists the damaged ones and fails when there is any.", "", 0, 0, Access::Read},
    {"passwd", "Sets, changes or (--remove) removes the vault's password. Setting one encrypts every image;\n"
               "changing it re-encrypts only the key; removing it decrypts every image. The new password is\n"
               "asked twice on the terminal, or given with --new-password.",
     "", 0, 0, Access::Write},
};

const TCommand* FindCommand(const std::string& name)
{
    for (const TCommand& c : kCommands)
        if (name == c.name)
            return &c;
    return nullptr;
}

int UsageError(const std::string& message, const std::string& command)
{
    std::fprintf(stderr, "glimmerbox-vault: %s\n", message.c_str());
    if (command.empty())
        std::fputs("Try 'glimmerbox-vault --help'.\n", stderr);
    else
        std::fprintf(stderr, "Try 'glimmerbox-vault %s --help'.\n", command.c_str());
    return Usage;
}

// Opens the vault and proves the password before anything reads it.
// Returns false when the vault does not exist and may be created.
bool OpenVault(TDMMain& store, const std::string& path, Access access, const QCommandLineParser& parser,
               const QCommandLineOption& password, std::string* proven = nullptr)
{
    if (!FileExists(path)) {
        if (access == Access::WriteOrCreate) {
            store.CreateNewTable();
            return false;
        }
        throw Exception(vaultfile::RefusalMessage(path, "there is no such file"));
    }
    store.CDS.SetFileName(path);
    // Readers are let in beside a window that holds the vault.
    store.CDS.SetOpenForReading(access == Access::Read);
    store.SetActive(true);
    if (store.CDS.ReadOnly() && access != Access::Read) {
        store.CDS.SetFileName(std::string());
        throw Exception(vaultfile::RefusalMessage(path, "it cannot be changed (read-only)"));
    }
    if (!store.LocatePassword())
        return true;
    std::optional<std::string> given;
    if (parser.isSet(password))
        given = parser.value(password).toStdString();
    else
        given = ReadPasswordFromTerminal("Password for " + path + ": ");
    if (!given)
        throw Exception("The vault \"" + path + "\" is protected by a password: give it with --password.");
    store.CheckPassword(*given);
    if (proven)
        *proven = *given;
    return true;
}

// The new password of passwd and its second typing: given once, or typed
// twice on the terminal.
std::pair<std::string, std::string> NewPassword(const QCommandLineParser& parser, const QCommandLineOption& option)
{
    if (parser.isSet(option)) {
        const std::string given = parser.value(option).toStdString();
        return {given, given};
    }
    const std::optional<std::string> first = ReadPasswordFromTerminal("New password: ");
    if (!first)
        throw Exception("No terminal to ask for the new password: give it with --new-password.");
    const std::optional<std::string> again = ReadPasswordFromTerminal("Repeat the new password: ");
    return {*first, again.value_or(std::string())};
}

int ChangeVaultPassword(TDMMain& store, const TOutput& io, const std::string& oldPassword, bool remove,
                        const QCommandLineParser& parser, const QCommandLineOption& newOption)
{
    const bool protectedVault = store.LocatePassword();
    if (remove) {
        if (!protectedVault) {
            ReportError(io, std::string(), "The vault has no password.");
            return Failure;
        }
        store.SetPassword(oldPassword, std::string());
        std::fprintf(io.out, "%s\n", kPasswordRemoved);
        return Success;
    }
    const auto [newPassword, verified] = NewPassword(parser, newOption);
    if (newPassword.empty())
        throw Exception("The new password is empty: to remove the password, use --remove.");
    CheckNewPassword(protectedVault ? oldPassword : std::string(), newPassword, verified);
    store.SetPassword(oldPassword, newPassword);
    std::fprintf(io.out, "%s\n", kPasswordChanged);
    return Success;
}

// Writes the changes back (atomically, as the window does) or, for a new
// vault, writes the whole file once something was stored in it.
void FinishVault(TDMMain& store, const std::string& path, bool existed)
{
    if (!existed && store.CDS.HasChanges()) {
        store.CDS.SetFileName(path);
        store.CDS.Save();
    }
    store.SetActive(false);
}

int RunCommand(const TCommand& command, const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(command.description);
    parser.addHelpOption();
    const QCommandLineOption password("password", "The vault's password.", "PASSWORD");
    const QCommandLineOption json("json", "Write the result as JSON.");
    const QCommandLineOption replace("replace", "Replace an image of the same name and kind.");
    const QCommandLineOption output(QStringList{"o", "output"}, "The folder to write into (created when missing).", "DIR");
    const QCommandLineOption newPassword("new-password", "The new password (seen by other users in the process list).",
                                         "PASSWORD");
    const QCommandLineOption remove("remove", "Remove the password: every image is decrypted.");
    parser.addOption(password);
    const std::string name = command.name;
    if (name == "list" || name == "stat")
        parser.addOption(json);
    if (name == "add")
        parser.addOption(replace);
    if (name == "extract")
        parser.addOption(output);
    if (name == "passwd") {
        parser.addOption(newPassword);
        parser.addOption(remove);
    }
    // The command's own name leads the positional arguments, so the usage
    // line reads "glimmerbox-vault [options] add VAULT FILE|FOLDER...".
    parser.addPositionalArgument("VAULT", "The vault file (*.gmb).", QString(command.name) + " VAULT");
    if (*command.arguments)
        parser.addPositionalArgument(command.arguments, "", command.arguments);

    if (!parser.parse(args))
        return UsageError(parser.errorText().toStdString(), name);
    if (parser.isSet("help")) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return Success;
    }
    const QStringList positional = parser.positionalArguments().mid(1);
    if (positional.isEmpty())
        return UsageError("Name the vault file.", name);
    const int extra = static_cast<int>(positional.size()) - 1;
    if (extra < command.minArgs || (command.maxArgs >= 0 && extra > command.maxArgs))
        return UsageError(Format("Wrong number of arguments: %s VAULT %s", command.name, command.arguments), name);
    if (name == "extract" && !parser.isSet(output))
        return UsageError("Name the folder to extract into with -o DIR.", name);
    if (name == "passwd" && parser.isSet(remove) && parser.isSet(newPassword))
        return UsageError("Give either --remove or --new-password.", name);

    const std::string vault = positional.front().toStdString();
    std::vector<std::string> rest;
    for (const QString& a : positional.mid(1))
        rest.push_back(a.toStdString());

    TOutput io;
    io.progress = isatty(STDERR_FILENO) != 0;
    TDMMain store;
    try {
        std::string proven;
        const bool existed = OpenVault(store, vault, command.access, parser, password, &proven);
        // A window may have shown it plain before it was protected: those
        // thumbnails go from the user's cache.
        const bool encrypted = ForgetThumbnailsIfEncrypted(store);
        int rc = Success;
        // One command: what it changes is written once, when it ends.
        RunVaultCommand(store.CDS, [&] {
            if (name == "list")
                rc = ListImages(store, io, parser.isSet(json));
            else if (name == "stat")
                rc = ShowStatistic(store, io, parser.isSet(json));
            else if (name == "add")
                rc = AddImages(store, io, rest, parser.isSet(replace));
            else if (name == "extract")
                rc = ExtractImages(store, io, rest, parser.value(output).toStdString());
            else if (name == "remove")
                rc = RemoveImages(store, io, rest);
            else if (name == "rename")
                rc = RenameImage(store, io, rest[0], rest[1]);
            else if (name == "check")
                rc = CheckImages(store, io);
            else if (name == "passwd")
                rc = ChangeVaultPassword(store, io, proven, parser.isSet(remove), parser, newPassword);
        });
        const TThumbnailScope scope = ThumbnailScopeOf(store);
        const bool protectedNow = !encrypted && store.Encrypted();
        FinishVault(store, vault, existed);
        if (protectedNow)
            ForgetThumbnailsOfScope(scope);
        return rc;
    } catch (const std::exception& e) {
        // The vault holds what the command posted before the error (written
        // as the command ended); nothing else is written.
        ReportError(io, std::string(), e.what());
        return Failure;
    }
}

} // namespace

int main(int argc, char** argv)
{
    InstallQuietQtMessages();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("glimmerbox-vault");
    QCoreApplication::setApplicationVersion(GMB_VERSION);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2)
        return UsageError("Name a command.", std::string());
    const std::string first = args.at(1).toStdString();
    if (first == "-h" || first == "--help" || first == "help") {
        std::fputs(kUsage, stdout);
        return Success;
    }
    if (first == "-v" || first == "--version") {
        std::printf("glimmerbox-vault %s\n", GMB_VERSION);
        return Success;
    }
    const TCommand* command = FindCommand(first);
    if (!command)
        return UsageError("Unknown command \"" + first + "\".", std::string());
    return RunCommand(*command, args);
}
