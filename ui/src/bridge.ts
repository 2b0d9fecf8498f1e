// Client side of the native bridge: calls go out as "__juce__invoke" events and
// come back as "__juce__complete" events carrying the call's id.

type Listener = (payload: unknown) => void;

interface JuceBackend {
  emitEvent(eventId: string, payload: unknown): void;
  addEventListener(eventId: string, fn: Listener): unknown;
  removeEventListener(token: unknown): void;
}

declare global {
  interface Window {
    __JUCE__?: { backend?: JuceBackend };
  }
}

function backend(): JuceBackend | undefined {
  return window.__JUCE__?.backend;
}

export function hasNativeBackend(): boolean {
  return backend() !== undefined;
}

let nextResultId = 1;
const pending = new Map<number, (value: unknown) => void>();
let completionListening = false;

function listenForCompletions(b: JuceBackend) {
  if (completionListening) return;
  completionListening = true;
  b.addEventListener("__juce__complete", (payload) => {
    const p = payload as { promiseId?: unknown; result?: unknown } | null;
    if (!p || typeof p.promiseId !== "number") return;
    const resolve = pending.get(p.promiseId);
    if (!resolve) return;
    pending.delete(p.promiseId);
    resolve(p.result);
  });
}

export function invokeNative(name: string, ...params: unknown[]): Promise<unknown> {
  const b = backend();
  if (!b) return Promise.resolve(previewAnswer(name));
  listenForCompletions(b);
  const resultId = nextResultId++;
  return new Promise((resolve) => {
    pending.set(resultId, resolve);
    b.emitEvent("__juce__invoke", { name, params, resultId });
  });
}

export function subscribe(eventId: string, fn: Listener): () => void {
  const b = backend();
  if (!b) return () => {};
  const token = b.addEventListener(eventId, fn);
  return () => b.removeEventListener(token);
}

// Without the native side the page still starts, on a small simulated project.
function previewAnswer(name: string): unknown {
  switch (name) {
    case "getState":
      return JSON.stringify({ projectName: "Untitled", running: false, masterMute: true, settingsRevision: 1 });
    case "getWorkspaceState":
      return "{}";
    case "hasUnsavedChanges":
    case "importAnalyzerTrace":
      return false;
    default:
      return true;
  }
}

export function parseJsonText(value: unknown): unknown {
  if (typeof value !== "string") return value;
  try {
    return JSON.parse(value);
  } catch {
    return undefined;
  }
}
