// GLib headers come before Qt's: gio has members named "signals".
#include <gio/gio.h>
#include <libgcab.h>

#include "MsiCabinet.h"

#include "GlibPtr.h"

#include <QDebug>
#include <QFile>

namespace {

// A seekable input stream over another that calls a hook before every read. libgcab reads
// the compressed blocks of a cabinet one at a time and writes each block out before it reads
// the next, so the hook runs between blocks: the caller learns how far the files on disk have
// grown, can tell its own listeners, and can stop the extraction.
struct TessPollStream
{
    GInputStream parent_instance;
    GInputStream *base;
    const std::function<bool()> *poll; // null outside an extraction
    gboolean inputFailed;
    gboolean cancelled;
};

struct TessPollStreamClass
{
    GInputStreamClass parent_class;
};

void tess_poll_stream_seekable_init(GSeekableIface *iface);

G_DEFINE_TYPE_WITH_CODE(TessPollStream,
                        tess_poll_stream,
                        G_TYPE_INPUT_STREAM,
                        G_IMPLEMENT_INTERFACE(G_TYPE_SEEKABLE, tess_poll_stream_seekable_init))

TessPollStream *asPollStream(gpointer object)
{
    return G_TYPE_CHECK_INSTANCE_CAST(object, tess_poll_stream_get_type(), TessPollStream);
}

gssize pollStreamRead(
        GInputStream *stream, void *buffer, gsize count, GCancellable *cancellable, GError **error)
{
    TessPollStream *self = asPollStream(stream);
    if (self->poll && !(*self->poll)()) {
        self->cancelled = TRUE;
        g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_CANCELLED, "installation cancelled");
        return -1;
    }
    const gssize n = g_input_stream_read(self->base, buffer, count, cancellable, error);
    if (n < 0)
        self->inputFailed = TRUE;
    return n;
}

gboolean pollStreamClose(GInputStream *, GCancellable *, GError **)
{
    return TRUE; // the base stream is released with this object
}

void pollStreamFinalize(GObject *object)
{
    g_clear_object(&asPollStream(object)->base);
    G_OBJECT_CLASS(tess_poll_stream_parent_class)->finalize(object);
}

void tess_poll_stream_class_init(TessPollStreamClass *klass)
{
    G_OBJECT_CLASS(klass)->finalize = pollStreamFinalize;
    G_INPUT_STREAM_CLASS(klass)->read_fn = pollStreamRead;
    G_INPUT_STREAM_CLASS(klass)->close_fn = pollStreamClose;
}

void tess_poll_stream_init(TessPollStream *self)
{
    self->base = nullptr;
    self->poll = nullptr;
    self->inputFailed = FALSE;
    self->cancelled = FALSE;
}

goffset pollStreamTell(GSeekable *seekable)
{
    return g_seekable_tell(G_SEEKABLE(asPollStream(seekable)->base));
}

gboolean pollStreamCanSeek(GSeekable *seekable)
{
    return g_seekable_can_seek(G_SEEKABLE(asPollStream(seekable)->base));
}

gboolean pollStreamSeek(GSeekable *seekable,
                        goffset offset,
                        GSeekType type,
                        GCancellable *cancellable,
                        GError **error)
{
    return g_seekable_seek(G_SEEKABLE(asPollStream(seekable)->base), offset, type, cancellable,
                           error);
}

gboolean pollStreamCanTruncate(GSeekable *)
{
    return FALSE;
}

gboolean pollStreamTruncate(GSeekable *, goffset, GCancellable *, GError **error)
{
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED, "read-only stream");
    return FALSE;
}

void tess_poll_stream_seekable_init(GSeekableIface *iface)
{
    iface->tell = pollStreamTell;
    iface->can_seek = pollStreamCanSeek;
    iface->seek = pollStreamSeek;
    iface->can_truncate = pollStreamCanTruncate;
    iface->truncate_fn = pollStreamTruncate;
}

struct ExtractContext
{
    const DlrPlatform::MsiCabinet::Hooks *hooks;
};

gboolean fileCallback(GCabFile *file, gpointer data)
{
    const auto *context = static_cast<ExtractContext *>(data);
    const QString name = QString::fromUtf8(gcab_file_get_name(file));
    const QString target = context->hooks->extractName(name);
    if (target.isEmpty())
        return FALSE;
    gcab_file_set_extract_name(file, target.toUtf8().constData());
    context->hooks->fileStarts(name);
    return TRUE;
}

} // namespace

namespace DlrPlatform {

MsiCabinet::MsiCabinet(GInputStream *stream)
    : source(G_INPUT_STREAM(g_object_ref(stream)))
{
    TessPollStream *poll = asPollStream(g_object_new(tess_poll_stream_get_type(), nullptr));
    poll->base = G_INPUT_STREAM(g_object_ref(stream));
    counted = G_INPUT_STREAM(poll);
}

MsiCabinet::~MsiCabinet()
{
    g_clear_object(&cabinet);
    g_clear_object(&counted);
    g_clear_object(&source);
}

bool MsiCabinet::load(QString *reason)
{
    if (!G_IS_SEEKABLE(source) || !g_seekable_can_seek(G_SEEKABLE(source))) {
        *reason = QStringLiteral("the cabinet stream cannot be read at will");
        return false;
    }
    cabinet = gcab_cabinet_new();
    GErrorHolder error;
    if (!gcab_cabinet_load(cabinet, counted, nullptr, error.out())) {
        *reason = QStringLiteral("not a usable cabinet: %1").arg(error.message());
        return false;
    }
    return true;
}

QHash<QString, qint64> MsiCabinet::fileSizes() const
{
    QHash<QString, qint64> sizes;
    if (!cabinet)
        return sizes;
    GPtrArray *folders = gcab_cabinet_get_folders(cabinet);
    for (guint i = 0; i < folders->len; ++i) {
        auto *folder = static_cast<GCabFolder *>(g_ptr_array_index(folders, i));
        GSList *files = gcab_folder_get_files(folder);
        for (GSList *item = files; item; item = item->next) {
            auto *file = static_cast<GCabFile *>(item->data);
            sizes.insert(QString::fromUtf8(gcab_file_get_name(file)), gcab_file_get_size(file));
        }
        g_slist_free(files);
    }
    return sizes;
}

MsiCabinet::Failure MsiCabinet::extract(const QString &folder, const Hooks &hooks, QString *reason)
{
    TessPollStream *poll = asPollStream(counted);
    poll->poll = &hooks.poll;
    poll->inputFailed = FALSE;
    poll->cancelled = FALSE;

    ExtractContext context{&hooks};
    GRef<GFile> out(g_file_new_for_path(QFile::encodeName(folder).constData()));
    GErrorHolder error;
    const gboolean ok = gcab_cabinet_extract(cabinet, out.get(), fileCallback, nullptr, &context,
                                             nullptr, error.out());
    poll->poll = nullptr;
    if (ok)
        return Failure::None;

    *reason = error.message();
    if (poll->cancelled)
        return Failure::Cancelled;
    // Errors of the cabinet's own domain, and failures to read it, mean bad data; what is
    // left came from writing the output.
    if (poll->inputFailed || (error.get() && error.get()->domain == GCAB_ERROR))
        return Failure::Corrupt;
    return Failure::Write;
}

} // namespace DlrPlatform
