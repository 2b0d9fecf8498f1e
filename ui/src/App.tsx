import { useCallback, useEffect, useState } from "react";
import { invokeNative, parseJsonText, subscribe, hasNativeBackend } from "./bridge";

type Json = Record<string, unknown>;

function moduleFromUrl(): string {
  return new URLSearchParams(window.location.search).get("module") ?? "";
}

function formatDb(value: unknown): string {
  return typeof value === "number" && Number.isFinite(value) ? `${value.toFixed(1)} dB` : "—";
}

export function App() {
  const [state, setState] = useState<Json | null>(null);
  const [telemetry, setTelemetry] = useState<Json | null>(null);
  const [error, setError] = useState<string | null>(null);
  const moduleId = moduleFromUrl();

  const refresh = useCallback(async () => {
    const parsed = parseJsonText(await invokeNative("getState"));
    if (parsed && typeof parsed === "object") setState(parsed as Json);
  }, []);

  useEffect(() => {
    const offError = subscribe("nativeError", (message) => setError(String(message)));
    const offTelemetry = subscribe("telemetryChanged", (payload) => {
      const value = parseJsonText(payload);
      if (value && typeof value === "object") setTelemetry(value as Json);
    });
    const offShortcut = subscribe("nativeShortcut", (name) => {
      if (name === "refresh") void refresh();
    });
    void refresh();
    return () => {
      offError();
      offTelemetry();
      offShortcut();
    };
  }, [refresh]);

  const live = { ...(state ?? {}), ...(telemetry ?? {}) };
  const dsp = (telemetry?.dsp ?? {}) as Json;
  const inputs = Array.isArray(telemetry?.inputMeters) ? (telemetry.inputMeters as Json[]) : [];
  const outputs = Array.isArray(telemetry?.outputMeters) ? (telemetry.outputMeters as Json[]) : [];

  return (
    <div className="shell">
      <header className="topbar">
        <img src="./app-icon.png" alt="" className="brand-icon" />
        <span className="brand">CORVANA</span>
        <span className="project" data-testid="project-name">{String(live.projectName ?? "")}</span>
        {moduleId && <span className="module">{moduleId}</span>}
        <span className="status" data-testid="running">{live.running ? "Running" : "Stopped"}</span>
        <span className="status">Master {formatDb(live.masterVolumeDb)}</span>
        <span className="status" data-testid="dsp-usage">
          DSP Usage {typeof dsp.currentPercent === "number" ? dsp.currentPercent.toFixed(1) : "0.0"}%
        </span>
        <span className="status" data-testid="revision">Revision {String(live.settingsRevision ?? "")}</span>
        {!hasNativeBackend() && <span className="status">Preview</span>}
      </header>
      <main className="meters">
        <MeterColumn title="Inputs" meters={inputs} />
        <MeterColumn title="Outputs" meters={outputs} />
      </main>
      <pre className="snapshot" data-testid="snapshot">{state ? JSON.stringify(state, null, 2) : "Loading…"}</pre>
      {error !== null && (
        <div className="dialog" role="alertdialog" aria-label="Corvana">
          <h2>Corvana</h2>
          <p data-testid="error-message">{error}</p>
          <button onClick={() => setError(null)}>OK</button>
        </div>
      )}
    </div>
  );
}

function MeterColumn({ title, meters }: { title: string; meters: Json[] }) {
  return (
    <section className="meter-column">
      <h3>{title}</h3>
      {meters.map((m, i) => (
        <div key={i} className={m.clip ? "meter clip" : "meter"}>
          <span>{i + 1}</span>
          <span>{formatDb(m.peakDb)}</span>
          <span>{formatDb(m.rmsDb)}</span>
        </div>
      ))}
    </section>
  );
}
