using System;
using System.IO;
using System.Linq;
using CommonClassification.Modules;
using vyr.bridge;
using vyr.bridge.classification;
using Xunit;

namespace VyrBridgeTests;

/// <summary>The sample module's run, driven as a purely managed host drives it, over a copy of the sample data.</summary>
public class SampleModuleTest
{
    private static string[] Pairs(Admin store, string id) =>
        store.mappingsGet(id).Select(pair => $"{pair.Key} {pair.Value}").ToArray();

    [Fact]
    public void TheSampleKeepsTheAllowedPairsUpToTheInputLevelAndRefusesWithTheStoresReason()
    {
        using var sample = new SampleStore();
        var module = new CommonClassificationModule();
        module.vInit(Directories.Instance, sample.Store, null!);
        string written = sample.UserFile("approved-parts");

        // Something in the way of the new file: the store's refusal, in the run's words.
        Directory.CreateDirectory(written);
        var refused = Assert.Throws<InvalidOperationException>(() =>
            module.vClassify("materials", "approved-materials", 2, 2, "approved-parts", null));
        Assert.StartsWith("cannot create 'approved-parts' at level user: ", refused.Message);
        Assert.IsType<FailureException>(refused.InnerException);
        Directory.Delete(written);

        // Up to user: the merged view, the user's corrections included (the panel's polycarbonate).
        module.vClassify("materials", "approved-materials", 2, 2, "approved-parts", null);
        Assert.Equal(new[] { Level.User }, sample.Store.cachesGet("approved-parts").Keys);
        Assert.Equal(new[] { "bolt steel", "bracket aluminium", "panel glass", "panel polycarbonate" },
            Pairs(sample.Store, "approved-parts"));
        Assert.Contains("polycarbonate", File.ReadAllText(written));

        // Up to shared: the gasket keeps its rubber, the panel is glass alone; the rerun
        // replaces what the first one wrote, in the file too.
        module.vClassify("materials", "approved-materials", 1, 2, "approved-parts", null);
        Assert.Equal(new[] { "bolt steel", "bracket aluminium", "gasket rubber", "panel glass" },
            Pairs(sample.Store, "approved-parts"));
        string text = File.ReadAllText(written);
        Assert.Contains("rubber", text);
        Assert.DoesNotContain("polycarbonate", text);

        // What cannot run fails before anything is written.
        var missing = Assert.Throws<InvalidOperationException>(() =>
            module.vClassify("materials", "approved-colours", 2, 2, "approved-parts", null));
        Assert.Equal("no classification 'approved-colours' reads at any level", missing.Message);
        var sys = Assert.Throws<InvalidOperationException>(() =>
            module.vClassify("materials", "approved-materials", 2, 0, "approved-parts", null));
        Assert.Equal("output level sys is not writable (shared or user)", sys.Message);
        Assert.Equal(text, File.ReadAllText(written));
    }
}
