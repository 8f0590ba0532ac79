using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Text;
using System.Threading;
using vyr.bridge;
using vyr.bridge.classification;
using Xunit;

// One store per process: the tests run one at a time.
[assembly: CollectionBehavior(DisableTestParallelization = true)]

namespace VyrBridgeTests;

/// <summary>A copy of the sample data in a temporary folder, set as the store's folders, with a fresh store.</summary>
public sealed class SampleStore : IDisposable
{
    public SampleStore()
    {
        Root = Directory.CreateTempSubdirectory("vyr-managed-").FullName;
        string data = Environment.GetEnvironmentVariable("VYR_SAMPLE_DATA")
            ?? throw new InvalidOperationException("VYR_SAMPLE_DATA names the sample data");
        foreach (string file in Directory.EnumerateFiles(data, "*", SearchOption.AllDirectories))
        {
            string target = Path.Combine(Root, Path.GetRelativePath(data, file));
            Directory.CreateDirectory(Path.GetDirectoryName(target)!);
            File.Copy(file, target);
        }
        Admin.vAdminReset();
        Directories.vDirectoriesSet(Path.Combine(Root, "system"), new[] { Path.Combine(Root, "shared") },
            Path.Combine(Root, "user"));
        Store = new Admin();
    }

    public string Root { get; }
    public Admin Store { get; }
    public string UserFile(string id) => Path.Combine(Root, "user", "Classification", id + ".xml");

    public void Dispose()
    {
        GC.Collect();
        GC.WaitForPendingFinalizers();
        Admin.vAdminReset();
        Directory.Delete(Root, recursive: true);
    }
}

public class StoreProxyTest
{
    [Fact]
    public void QueriesAnswerAsTheMergedViewWithValuesForWhatIsMissing()
    {
        using var sample = new SampleStore();
        Admin store = sample.Store;
        Assert.True(store.boClassificationExists("materials"));
        Assert.False(store.boClassificationExists("nothing"));
        Assert.Equal("Materials of parts", store.sText2Get("materials"));
        Assert.Equal("", store.sText2Get("nothing"));
        Assert.Equal(new[] { "aluminium" }, store.pClassifiedIdsGet("materials", "bracket"));
        Assert.Empty(store.pClassifiedIdsGet("materials", "gasket")!);
        Assert.Null(store.pClassifiedIdsGet("materials", "washer"));
        Assert.Null(store.pClassifiedIdsGet("nothing", "bolt"));
        Assert.Equal("steel", store.sClassifiedIdGet("materials", "bolt"));
        Assert.Equal("", store.sClassifiedIdGet("materials", "washer"));
        Assert.Equal(new[] { "bolt" }, store.pSourceIdsGet("materials", "steel"));
        Assert.True(store.boMappingExists("materials", "panel", "polycarbonate"));
        Assert.Contains(new KeyValuePair<string, string>("clip", "nylon"), store.mappingsGet("materials"));

        var levels = store.cachesGet("materials");
        Assert.Equal(new[] { Level.Sys, Level.Shared, Level.User }, levels.Keys);
        Assert.Equal(new[] { "aluminium", "steel" }, levels[Level.Sys]["bracket"]);
        Assert.Empty(store.cachesGet("nothing"));

        // Another program changes the user file; a refresh reads it and the count moves.
        ulong seen = store.changeCountGet("materials");
        string file = sample.UserFile("materials");
        File.WriteAllText(file, File.ReadAllText(file).Replace("glass", "quartz"));
        File.SetLastWriteTimeUtc(file, DateTime.UtcNow.AddMinutes(1));
        Assert.True(store.boRefresh("materials", out Failure? unread));
        Assert.Null(unread);
        Assert.True(store.boMappingExists("materials", "panel", "quartz"));
        Assert.NotEqual(seen, store.changeCountGet("materials"));

        // A level file that does not read is left out of the view, and named.
        Assert.Empty(store.readFailuresGet("materials"));
        File.WriteAllText(sample.UserFile("approved-materials"), "<classification");
        Failure unreadFile = Assert.Single(store.readFailuresGet("approved-materials"));
        Assert.Equal(Level.User, unreadFile.Level);
        Assert.Equal(FailureKind.NotWellFormed, unreadFile.Kind);

        // A reset disposes every proxy made before it.
        Admin.vAdminReset();
        Assert.Throws<ObjectDisposedException>(() => store.boClassificationExists("materials"));
    }

    [Fact]
    public void AWriteAccessInAUsingBlockWritesItsEditsIntoTheFile()
    {
        using var sample = new SampleStore();
        using (WriteAccess access = sample.Store.writeAccessGet("materials"))
        {
            var refused = Assert.Throws<FailureException>(() => access.boAddMapping("clip", "steel", Level.User));
            Assert.Equal(Level.User, refused.Failure.Level);
            Assert.Equal(FailureKind.NotLocked, refused.Kind);
            Assert.True(access.boLockFile(Level.User));
            Assert.True(access.boAddMapping("clip", "steel", Level.User));
            access.vMappedToSourceInherit("panel", Level.User);
            Assert.True(sample.Store.boMappingExists("materials", "clip", "steel"));
        }
        string written = File.ReadAllText(sample.UserFile("materials"));
        Assert.Contains("steel", written);
        Assert.DoesNotContain("polycarbonate", written);

        // An access that is never disposed writes nothing: its edits are dropped at the next call.
        AbandonAnEdit(sample.Store);
        GC.Collect();
        GC.WaitForPendingFinalizers();
        Assert.False(sample.Store.boMappingExists("materials", "bolt", "lead"));
        Assert.DoesNotContain("lead", File.ReadAllText(sample.UserFile("materials")));
    }

    private static void AbandonAnEdit(Admin store)
    {
        WriteAccess access = store.writeAccessGet("materials");
        access.boLockFile(Level.User);
        access.boAddMapping("bolt", "lead", Level.User);
        Assert.True(store.boMappingExists("materials", "bolt", "lead"));
    }

    [Fact]
    public void AFailedWriteBackThrowsWithTheLevelTheFileAndTheReason()
    {
        using var sample = new SampleStore();
        using WriteAccess access = sample.Store.writeAccessGet("materials");
        Assert.True(access.boLockFile(Level.User));
        Assert.True(access.boAddMapping("clip", "steel", Level.User));
        // The level folder goes while the lock is held: nothing can be written into it, as root too.
        Directory.Delete(Path.GetDirectoryName(sample.UserFile("materials"))!, recursive: true);
        var error = Assert.Throws<FailureException>(() => access.boWriteBack());
        Assert.Equal(Level.User, error.Failure.Level);
        Assert.Equal(FailureKind.SystemError, error.Kind);
        Assert.Equal(sample.UserFile("materials"), error.Failure.File);
        Assert.NotEqual(0, error.Failure.Error);
        Assert.NotEmpty(error.Failure.Reason);
        Assert.Contains(error.Failure.Reason, error.Message);
    }

    [Fact]
    public unsafe void ANativeExceptionArrivesWithItsTypeAndMessage()
    {
        using var sample = new SampleStore();
        // Bytes that are not UTF-8, as a native caller could pass them: the store's conversion throws.
        byte[] bad = { 0xff };
        fixed (byte* data = bad)
        {
            var text = new NativeText { Data = data, Size = 1 };
            var error = Assert.Throws<NativeException>(() =>
                Face.Check(Face.Table->DirectoriesSet(text, null, 0, text), "test"));
            Assert.Equal("std::system_error", error.NativeTypeName);
            Assert.NotEqual(0UL, error.Token);
            Assert.False(string.IsNullOrEmpty(error.Message));
        }
    }

    [Fact]
    public void TextOutsideTheBasicPlaneCrossesBothWaysAndALoneSurrogateIsRefused()
    {
        using var sample = new SampleStore();
        const string clef = "\U0001D11E";
        Assert.Equal(2, clef.Length);
        using (WriteAccess access = sample.Store.writeAccessGet("materials"))
        {
            access.boLockFile(Level.User);
            access.boAddMapping("clip", clef, Level.User);
        }
        Assert.Equal(clef, sample.Store.sSourceIdGet("materials", clef) == "clip" ? clef : "");
        Assert.Contains(clef, sample.Store.pClassifiedIdsGet("materials", "clip")!);
        byte[] file = File.ReadAllBytes(sample.UserFile("materials"));
        Assert.True(Encoding.UTF8.GetString(file).Contains(clef, StringComparison.Ordinal));
        Assert.Throws<ArgumentException>(() => sample.Store.sClassifiedIdGet("materials", "\uD834"));
    }

    [Fact]
    public void TwoThreadsQueryOneClassificationWhileAThirdEditsAnother()
    {
        using var sample = new SampleStore();
        Exception? failed = null;
        void Query()
        {
            try
            {
                for (int i = 0; i < 500; ++i)
                {
                    Assert.Equal("steel", sample.Store.sClassifiedIdGet("materials", "bolt"));
                }
            }
            catch (Exception error)
            {
                failed = error;
            }
        }
        var threads = new[] { new Thread(Query), new Thread(Query), new Thread(() =>
        {
            try
            {
                using WriteAccess access = sample.Store.writeAccessGet("approved-materials");
                access.boLockFile(Level.User);
                for (int i = 0; i < 500; ++i)
                {
                    access.boAddMapping("alloy" + i, "allow", Level.User);
                }
            }
            catch (Exception error)
            {
                failed = error;
            }
        }) };
        foreach (var thread in threads) thread.Start();
        foreach (var thread in threads) thread.Join();
        Assert.Null(failed);
        Assert.True(sample.Store.boMappingExists("approved-materials", "alloy499", "allow"));
        Assert.Equal(Path.Combine(sample.Root, "user"), Directories.Instance.userDirectoryGet());
    }
}
