package example.zelk.ws.check;

import java.io.File;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Set;
import javax.xml.parsers.DocumentBuilder;
import javax.xml.parsers.DocumentBuilderFactory;
import org.w3c.dom.Document;
import org.w3c.dom.Element;
import org.w3c.dom.Node;

/**
 * Reads one answer of the distance service the way the desktop client does (following
 * multi-reference elements by id), checks its structure and consistency, and prints the
 * client's report for it (English number format).
 *
 * usage: AnswerReport FILE [--expect-retcode N] [--expect-fault CODE-LOCAL-NAME]
 * Exit 0 when the answer is as expected, 1 with a message on stderr when not, 2 on bad usage.
 */
public final class AnswerReport {
    static final String ENV = "http://schemas.xmlsoap.org/soap/envelope/";
    static final String ENC = "http://schemas.xmlsoap.org/soap/encoding/";
    static final String XSD = "http://www.w3.org/2001/XMLSchema";
    static final String XSI = "http://www.w3.org/2001/XMLSchema-instance";
    static final String SVC = "http://ws.zelk.example";
    static final double EARTH_RADIUS_NM = 3440.065;

    private final Map<String, Element> ids = new HashMap<>();
    private final Set<String> referenced = new HashSet<>();
    private final List<String> report = new ArrayList<>();

    static final class CheckFailed extends Exception {
        private static final long serialVersionUID = 1L;

        CheckFailed(String message) {
            super(message);
        }
    }

    public static void main(String[] args) {
        String file = null;
        Integer expectRetCode = null;
        String expectFault = null;
        try {
            for (int i = 0; i < args.length; i++) {
                switch (args[i]) {
                    case "--expect-retcode": expectRetCode = Integer.valueOf(args[++i]); break;
                    case "--expect-fault": expectFault = args[++i]; break;
                    default:
                        if (file != null) throw new IllegalArgumentException("extra argument " + args[i]);
                        file = args[i];
                }
            }
            if (file == null) throw new IllegalArgumentException("no file");
        } catch (RuntimeException e) {
            System.err.println("usage: AnswerReport FILE [--expect-retcode N] [--expect-fault CODE]");
            System.exit(2);
        }
        try {
            new AnswerReport().run(new File(file), expectRetCode, expectFault);
        } catch (CheckFailed e) {
            System.err.println("check failed: " + file + ": " + e.getMessage());
            System.exit(1);
        } catch (Exception e) {
            System.err.println("check failed: " + file + ": " + e);
            System.exit(1);
        }
    }

    void run(File file, Integer expectRetCode, String expectFault) throws Exception {
        DocumentBuilderFactory f = DocumentBuilderFactory.newInstance();
        f.setNamespaceAware(true);
        f.setFeature("http://apache.org/xml/features/disallow-doctype-decl", true);
        DocumentBuilder b = f.newDocumentBuilder();
        Document doc = b.parse(file);

        Element env = doc.getDocumentElement();
        expect(ENV.equals(env.getNamespaceURI()) && "Envelope".equals(env.getLocalName()),
                "document element is not a SOAP 1.1 Envelope");
        Element body = onlyChild(env, ENV, "Body");
        Element first = firstElement(body);
        expect(first != null, "empty Body");

        if (ENV.equals(first.getNamespaceURI()) && "Fault".equals(first.getLocalName())) {
            String code = text(child(first, "faultcode"));
            String string = text(child(first, "faultstring"));
            System.out.println("Fault : " + code);
            System.out.println("Fault String : " + string);
            expect(expectFault != null, "unexpected fault " + code + ": " + string);
            String local = code.contains(":") ? code.substring(code.indexOf(':') + 1) : code;
            expect(local.equals(expectFault) || local.startsWith(expectFault + "."),
                    "fault code " + code + ", expected " + expectFault);
            return;
        }
        expect(expectFault == null, "expected a fault, got " + first.getLocalName());

        for (Node n = body.getFirstChild(); n != null; n = n.getNextSibling()) {
            if (n instanceof Element) {
                Element e = (Element) n;
                if (e.hasAttribute("id")) {
                    expect(ids.put(e.getAttribute("id"), e) == null, "duplicate id " + e.getAttribute("id"));
                }
            }
        }
        expect(SVC.equals(first.getNamespaceURI()) && "getDistanceResponse".equals(first.getLocalName()),
                "response element is {" + first.getNamespaceURI() + "}" + first.getLocalName());
        List<Element> kids = elements(first);
        expect(kids.size() == 1, "response element has " + kids.size() + " children");
        Element retRef = kids.get(0);
        expect(retRef.hasAttribute("href"), "the return value is not multi-ref encoded");
        Element ret = deref(retRef);
        expectType(ret, SVC, "GetDistReturn");

        int dayLimit = intValue(member(ret, "dayLimit"));
        int retCode = intValue(member(ret, "retCode"));
        String retMessage = text(deref(member(ret, "retMessage")));
        List<Element> sections = array(member(ret, "sections"), "Section");
        int todayUsed = intValue(member(ret, "todayUsed"));
        double total = doubleValue(member(ret, "totalDistance"));
        double totalSeca = doubleValue(member(ret, "totalDistanceSECA"));
        expectOnly(ret, "dayLimit", "retCode", "retMessage", "sections", "todayUsed", "totalDistance",
                "totalDistanceSECA");

        report.add("Return Code : " + retCode);
        report.add("Return Message : " + retMessage);
        report.add("Day Limit : " + dayLimit);
        report.add("Day Used : " + todayUsed);
        report.add("Total Distance " + num(total));
        report.add("Total DistanceSECA " + num(totalSeca));

        double sum = 0;
        double sumSeca = 0;
        String previousTo = null;
        for (Element s : sections) {
            expectType(s, SVC, "Section");
            double distance = doubleValue(member(s, "distance"));
            double distanceSeca = doubleValue(member(s, "distanceSECA"));
            String from = text(deref(member(s, "fromPort")));
            String to = text(deref(member(s, "toPort")));
            List<Element> wps = array(member(s, "waypoints"), "WayPoint");
            expectOnly(s, "distance", "distanceSECA", "fromPort", "toPort", "waypoints");
            report.add("    >" + from + " -> " + to + " [" + num(distance) + "] [" + num(distanceSeca) + "]");
            expect(previousTo == null || previousTo.equals(from), "leg " + from + " does not start at " + previousTo);
            previousTo = to;
            expect(distanceSeca >= 0 && distanceSeca <= distance, "leg " + from + " SECA part out of range");

            double inner = 0;
            double innerSeca = 0;
            boolean anySeca = false;
            double[] last = null;
            boolean lastSeca = false;
            for (Element w : wps) {
                expectType(w, SVC, "WayPoint");
                double lat = doubleValue(member(w, "lat"));
                double lon = doubleValue(member(w, "lon"));
                String name = text(deref(member(w, "name")));
                boolean seca = boolValue(member(w, "seca"));
                expectOnly(w, "lat", "lon", "name", "seca");
                expect(lat >= -90 && lat <= 90 && lon >= -180 && lon <= 180, "way point " + name + " off the map");
                report.add("        >>" + name + ", [" + num(lat) + ", " + num(lon) + "] [" + (seca ? "True" : "False") + "]");
                anySeca |= seca;
                if (last != null) {
                    double step = greatCircle(last[0], last[1], lat, lon);
                    inner += step;
                    if (lastSeca && seca) {
                        innerSeca += step;
                    }
                }
                last = new double[] {lat, lon};
                lastSeca = seca;
            }
            expect(inner <= distance + 0.05, "leg " + from + " is shorter than the path through its way points");
            expect(innerSeca <= distanceSeca + 0.05, "leg " + from + " SECA part is shorter than its SECA way points");
            expect(anySeca || distanceSeca == 0, "leg " + from + " has a SECA part but no SECA way point");
            sum += distance;
            sumSeca += distanceSeca;
        }
        expect(Math.abs(sum - total) < 0.05, "totalDistance " + total + " is not the sum of the legs " + sum);
        expect(Math.abs(sumSeca - totalSeca) < 0.05, "totalDistanceSECA " + totalSeca + " is not the sum " + sumSeca);
        if (retCode != 0) {
            expect(sections.isEmpty() && total == 0, "an error answer carries a route");
        }
        for (String id : ids.keySet()) {
            expect(referenced.contains(id), "multi-ref element " + id + " is never referenced");
        }

        for (String line : report) {
            System.out.println(line);
        }
        if (expectRetCode != null) {
            expect(retCode == expectRetCode, "retCode " + retCode + " (" + retMessage + "), expected " + expectRetCode);
        }
    }

    private static void expect(boolean ok, String message) throws CheckFailed {
        if (!ok) {
            throw new CheckFailed(message);
        }
    }

    private static String num(double v) {
        return String.format(Locale.US, "%,.2f", v);
    }

    private static double greatCircle(double lat1, double lon1, double lat2, double lon2) {
        double p1 = Math.toRadians(lat1);
        double p2 = Math.toRadians(lat2);
        double dp = p2 - p1;
        double dl = Math.toRadians(lon2 - lon1);
        double h = Math.sin(dp / 2) * Math.sin(dp / 2) + Math.cos(p1) * Math.cos(p2) * Math.sin(dl / 2) * Math.sin(dl / 2);
        return 2 * EARTH_RADIUS_NM * Math.asin(Math.min(1.0, Math.sqrt(h)));
    }

    private Element deref(Element e) throws CheckFailed {
        if (!e.hasAttribute("href")) {
            return e;
        }
        String href = e.getAttribute("href");
        expect(href.startsWith("#"), "href " + href + " is not local");
        Element target = ids.get(href.substring(1));
        expect(target != null, "href " + href + " matches no multi-ref element");
        referenced.add(href.substring(1));
        return target;
    }

    private static List<Element> elements(Element parent) {
        List<Element> out = new ArrayList<>();
        for (Node n = parent.getFirstChild(); n != null; n = n.getNextSibling()) {
            if (n instanceof Element) {
                out.add((Element) n);
            }
        }
        return out;
    }

    private static Element firstElement(Element parent) {
        List<Element> all = elements(parent);
        return all.isEmpty() ? null : all.get(0);
    }

    private static Element onlyChild(Element parent, String ns, String local) throws CheckFailed {
        Element found = null;
        for (Element e : elements(parent)) {
            if (ns.equals(e.getNamespaceURI()) && local.equals(e.getLocalName())) {
                expect(found == null, "second " + local);
                found = e;
            }
        }
        expect(found != null, "no " + local);
        return found;
    }

    private static Element child(Element parent, String local) throws CheckFailed {
        for (Element e : elements(parent)) {
            if (local.equals(e.getLocalName())) {
                return e;
            }
        }
        throw new CheckFailed("no element " + local + " in " + parent.getLocalName());
    }

    private static Element member(Element object, String name) throws CheckFailed {
        Element found = null;
        for (Element e : elements(object)) {
            if (name.equals(e.getLocalName())) {
                expect(found == null, "member " + name + " twice in " + object.getLocalName());
                expect(e.getNamespaceURI() == null, "member " + name + " is qualified");
                found = e;
            }
        }
        expect(found != null, "no member " + name + " in " + object.getAttribute("xsi:type"));
        return found;
    }

    private static void expectOnly(Element object, String... names) throws CheckFailed {
        Set<String> allowed = new HashSet<>(java.util.Arrays.asList(names));
        for (Element e : elements(object)) {
            expect(allowed.contains(e.getLocalName()), "unexpected member " + e.getLocalName());
        }
    }

    private static String text(Element e) {
        return e.getTextContent();
    }

    /** The xsi:type of an element as {namespace}local. */
    private static String[] type(Element e) throws CheckFailed {
        String t = e.getAttributeNS(XSI, "type");
        expect(!t.isEmpty(), "element " + e.getLocalName() + " has no xsi:type");
        int colon = t.indexOf(':');
        String prefix = colon < 0 ? null : t.substring(0, colon);
        String ns = e.lookupNamespaceURI(prefix);
        expect(ns != null, "xsi:type " + t + " has an undeclared prefix");
        return new String[] {ns, t.substring(colon + 1)};
    }

    private static void expectType(Element e, String ns, String local) throws CheckFailed {
        String[] t = type(e);
        expect(ns.equals(t[0]) && local.equals(t[1]),
                "element " + e.getLocalName() + " has type {" + t[0] + "}" + t[1] + ", expected " + local);
    }

    private String scalar(Element ref, String xsdType) throws CheckFailed {
        Element e = deref(ref);
        expect(ref != e, "member " + ref.getLocalName() + " is not multi-ref encoded");
        expectType(e, XSD, xsdType);
        return text(e).trim();
    }

    private int intValue(Element ref) throws CheckFailed {
        String s = scalar(ref, "int");
        try {
            return Integer.parseInt(s);
        } catch (NumberFormatException ex) {
            throw new CheckFailed("bad int '" + s + "'");
        }
    }

    private double doubleValue(Element ref) throws CheckFailed {
        String s = scalar(ref, "double");
        try {
            return Double.parseDouble(s);
        } catch (NumberFormatException ex) {
            throw new CheckFailed("bad double '" + s + "'");
        }
    }

    private boolean boolValue(Element ref) throws CheckFailed {
        String s = scalar(ref, "boolean");
        expect(s.equals("true") || s.equals("false") || s.equals("1") || s.equals("0"), "bad boolean '" + s + "'");
        return s.equals("true") || s.equals("1");
    }

    private List<Element> array(Element ref, String itemType) throws CheckFailed {
        Element a = deref(ref);
        String[] t = type(a);
        expect((ENC.equals(t[0]) && "Array".equals(t[1])) || (SVC.equals(t[0]) && ("ArrayOf" + itemType).equals(t[1])),
                "array " + a.getLocalName() + " has type {" + t[0] + "}" + t[1]);
        String arrayType = a.getAttributeNS(ENC, "arrayType");
        expect(!arrayType.isEmpty(), "array " + a.getLocalName() + " has no arrayType");
        int bracket = arrayType.indexOf('[');
        String typeName = arrayType.substring(0, bracket);
        int colon = typeName.indexOf(':');
        String ns = a.lookupNamespaceURI(colon < 0 ? null : typeName.substring(0, colon));
        expect(SVC.equals(ns) && itemType.equals(typeName.substring(colon + 1)),
                "arrayType " + arrayType + " is not of " + itemType);
        List<Element> items = new ArrayList<>();
        for (Element item : elements(a)) {
            items.add(deref(item));
        }
        expect(arrayType.substring(bracket).equals("[" + items.size() + "]"),
                "arrayType " + arrayType + " but " + items.size() + " items");
        return items;
    }
}
